# The signed-feed envelope reader (Ed25519 over OpenSSL).
vantrel_fuzz_target(feed_signature FeedSignatureFuzz.cpp
  "${PROJECT_SOURCE_DIR}/Platform/Update/UpdateFrameworkSignature.cpp"
  "${core}/Update/UpdateEncoding.cpp"
  "${core}/Support/Bytes.cpp"
  "${core}/Support/Error.cpp"
  "${core}/Support/Uuid.cpp"
)
target_link_libraries(fuzz_feed_signature PRIVATE PkgConfig::OPENSSL)
vantrel_fuzz_long_inputs(feed_signature)
