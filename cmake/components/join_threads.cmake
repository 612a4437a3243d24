# varforge cat's worker pool under ThreadSanitizer: the test joins shards with the varforge
# program of the same build, so it is registered in the AF_TSAN build only (`make tsan-test`).
if(AF_TSAN)
  af_test(join_threads_test SOURCES tests/varforge/join_threads_test.cpp LIBS AF::hts
          DEPENDS varforge)
endif()
