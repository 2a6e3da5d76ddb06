# Every third-party library the project links, as imported targets. scripts/setup installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(vantrel_deps INTERFACE)
add_library(vantrel::deps ALIAS vantrel_deps)
target_include_directories(vantrel_deps SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(vantrel_deps INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
pkg_check_modules(FMT REQUIRED IMPORTED_TARGET fmt)
target_link_libraries(vantrel_deps INTERFACE PkgConfig::FMT Threads::Threads)

pkg_check_modules(SPDLOG REQUIRED IMPORTED_TARGET spdlog)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(OPENSSL REQUIRED IMPORTED_TARGET openssl)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 x11-xcb xcb xcb-shm xext xfixes xi xrandr xtst xdamage xscrnsaver)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
# The GNOME Wayland layers: screen-cast streams through PipeWire, key codes from the keyboard map.
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
# Its -D_REENTRANT (a no-op with glibc) would make the precompiled header unusable for every source
# of a target that links it.
get_target_property(pipewire_options PkgConfig::PIPEWIRE INTERFACE_COMPILE_OPTIONS)
if(pipewire_options)
  list(REMOVE_ITEM pipewire_options "-D_REENTRANT")
  set_target_properties(PkgConfig::PIPEWIRE PROPERTIES INTERFACE_COMPILE_OPTIONS "${pipewire_options}")
endif()
pkg_check_modules(XKBCOMMON REQUIRED IMPORTED_TARGET xkbcommon xkbcommon-x11)
find_package(nlohmann_json 3.10 REQUIRED)

find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(YUV_LIBRARY yuv REQUIRED)
add_library(vantrel_yuv INTERFACE)
add_library(vantrel::yuv ALIAS vantrel_yuv)
target_include_directories(vantrel_yuv SYSTEM INTERFACE ${YUV_INCLUDE_DIR})
target_link_libraries(vantrel_yuv INTERFACE ${YUV_LIBRARY})

# The application and the Qt layers. Network gives QLocalServer (single instance), Svg the icon,
# Test the widget tests.
find_package(Qt6 COMPONENTS Core Gui Widgets Network Svg Test QUIET)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)

find_package(GTest REQUIRED)
if(VANTREL_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
