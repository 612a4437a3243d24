# The test servers for remote files (tests/servers, aftest::TestServer) proven on their own.
af_test(servers_test SOURCES tests/common/servers_test.cpp)
