include(GoogleTest)

# The private servers that the test command starts (scripts/test-mariadb, scripts/test-redis).
set(LOMVERA_TEST_SERVERS_DIR ${CMAKE_BINARY_DIR}/test-servers)
# Below the kernel's ephemeral range (32768 and up), so that no client connection holds it.
set(LOMVERA_TEST_MARIADB_PORT 23071 CACHE STRING "Loopback port of the private test MariaDB server")
set(LOMVERA_TEST_REDIS_PORT 63791 CACHE STRING "Loopback port of the private test redis-server")

# The start and stop tests of one private server, scripts/test-${kind}, as the CTest fixture
# ${kind}_server.
function(lomvera_test_server kind port start_timeout)
  add_test(NAME ${kind}_server_start
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-${kind} start ${LOMVERA_TEST_SERVERS_DIR}/${kind} ${port})
  add_test(NAME ${kind}_server_stop
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-${kind} stop ${LOMVERA_TEST_SERVERS_DIR}/${kind})
  set_tests_properties(${kind}_server_start PROPERTIES FIXTURES_SETUP ${kind}_server TIMEOUT ${start_timeout})
  set_tests_properties(${kind}_server_stop PROPERTIES FIXTURES_CLEANUP ${kind}_server TIMEOUT 60)
endfunction()

lomvera_test_server(mariadb ${LOMVERA_TEST_MARIADB_PORT} 120)
lomvera_test_server(redis ${LOMVERA_TEST_REDIS_PORT} 60)

# lomvera_add_test(name SOURCES a.cpp b.cpp LIBRARIES lib... [MARIADB] [REDIS] [LOCK name] [TIMEOUT s])
#   MARIADB: the tests need the shared private MariaDB server.
#   REDIS:   the tests need the shared private redis-server.
#   LOCK:    a CTest resource lock (for example dev_log for tests that own /dev/log).
function(lomvera_add_test name)
  cmake_parse_arguments(T "MARIADB;REDIS" "TIMEOUT;LOCK" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} lomvera_test_support GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_MARIADB)
    list(APPEND props FIXTURES_REQUIRED mariadb_server)
  endif()
  if(T_REDIS)
    list(APPEND props FIXTURES_REQUIRED redis_server)
  endif()
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
