# alnforge/modules: isize_store, the insert-size store: dense and sparse per-insert-size pair
# counters behind one table. It needs htslib's header-only hash map, but no htslib symbol at
# link time.
af_module(isize_store HALF modules SOURCES alnforge/modules/isize_store.cpp
          HEADERS alnforge/modules/isize_store.h)
target_include_directories(isize_store PUBLIC ${HTS_INCLUDE_DIR})
af_test(isize_store_test SOURCES tests/alnforge/isize_store_test.cpp LIBS isize_store)
af_test(isize_store_oom_test SOURCES tests/alnforge/isize_store_oom_test.cpp LIBS isize_store)
af_fault_shim(isize_store_oom_test)
af_bench(isize SOURCES bench/isize.cpp LIBS isize_store)
