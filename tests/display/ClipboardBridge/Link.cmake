# A real QApplication on the X display, with xclip as the other X client.
target_link_libraries(${target} PRIVATE VantrelMacModel VantrelPlatformQt Qt6::Widgets)
# Qt's "emit" keyword macro would clash with Asio's cancellation signals.
target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS)
