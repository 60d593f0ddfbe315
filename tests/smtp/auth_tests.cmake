# The authentication tests of the mail core (included by CMakeLists.txt once
# the shared test pieces exist); kept apart so that additions on both sides merge.

# The independent NTLM reader (python3-impacket) for the NTLM and AUTH tests.
add_library(smtp_ntlm_checker STATIC ntlm_checker.cpp)
target_include_directories(smtp_ntlm_checker PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(smtp_ntlm_checker PRIVATE
  NTLM_CHECK_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/ntlm_check.py")
target_link_libraries(smtp_ntlm_checker PUBLIC pelorin_test_support GTest::gtest)

# NTLM built into the mail core and the security context, without a server.
# The CHALLENGE reader's fuzz target is compiled in so that its seeds replay.
add_executable(smtp_ntlm_test
  ntlm_test.cpp
  ${PROJECT_SOURCE_DIR}/cores/smtp/fuzz/ntlm_challenge_fuzz.cpp
)
target_compile_definitions(smtp_ntlm_test PRIVATE
  NTLM_CHALLENGE_CORPUS_DIR="${PROJECT_SOURCE_DIR}/cores/smtp/fuzz/corpus/ntlm_challenge_fuzz")
target_link_libraries(smtp_ntlm_test PRIVATE pelnet_smtp_logic smtp_ntlm_checker pelorin_test_support GTest::gtest_main)
add_test(NAME smtp_ntlm_test COMMAND smtp_ntlm_test)
set_tests_properties(smtp_ntlm_test PROPERTIES TIMEOUT 120)

# SMTP AUTH (LOGIN, CRAM-MD5, NTLM, GSSAPI without its library) against
# scripted servers on loopback.
add_executable(smtp_auth_test
  smtp_auth_test.cpp
)
target_link_libraries(smtp_auth_test PRIVATE smtp_core_client smtp_scripted_peer
  smtp_ntlm_checker PkgConfig::GLIB pelorin_test_isolated_main)
add_test(NAME smtp_auth_test COMMAND smtp_auth_test)
set_tests_properties(smtp_auth_test PROPERTIES TIMEOUT 180)


# SMTP AUTH GSSAPI against a Kerberos realm made by the test (krb5-kdc on
# loopback in the test's namespace) and a python3-gssapi mail server.
add_executable(smtp_kerberos_test
  kerberos_test.cpp
)
target_compile_definitions(smtp_kerberos_test PRIVATE
  GSSAPI_SERVER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/gssapi_smtp_server.py")
target_link_libraries(smtp_kerberos_test PRIVATE smtp_core_client pelorin_test_isolated_main)
add_test(NAME smtp_kerberos_test COMMAND smtp_kerberos_test)
set_tests_properties(smtp_kerberos_test PROPERTIES TIMEOUT 240)
