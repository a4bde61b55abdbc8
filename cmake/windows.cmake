# The plug-in DLL, the test host and the tests that run under Wine.
enable_language(RC)
enable_testing()

set(win_libs winhttp comctl32 comdlg32 gdi32 user32 kernel32)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # Every CPU the host runs on has SSE2; the text scanners use it.
  add_compile_options(-msse2 -mfpmath=sse)
endif()
add_compile_options(-Wall -Wextra -Wno-cast-function-type -Wno-restrict)
# Only system DLLs may be imported: the C++ runtime, libgcc and winpthread go in statically.
add_link_options(-static -static-libgcc -static-libstdc++)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  foreach(n 0 4 8 16)
    set(PARLY_DECOR_${n} "@${n}")
  endforeach()
else()
  foreach(n 0 4 8 16)
    set(PARLY_DECOR_${n} "")
  endforeach()
endif()
configure_file(plugin/ParlyPlugin.def.in ${CMAKE_BINARY_DIR}/ParlyPlugin.def @ONLY)

file(GLOB product_sources CONFIGURE_DEPENDS
  plugin/*.cpp session/*.cpp providers/*.cpp net/*.cpp features/*.cpp async/*.cpp editor/*.cpp)
list(FILTER product_sources EXCLUDE REGEX "_native\\.cpp$")

# Everything but the entry points, so tests and benchmarks can link the same code.
add_library(parly_core STATIC ${product_sources})
target_include_directories(parly_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(parly_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_libraries(parly_core PUBLIC ${win_libs})

add_library(ParlyPlugin MODULE plugin/exports.cpp editor/parly.rc ${CMAKE_BINARY_DIR}/ParlyPlugin.def)
target_link_libraries(ParlyPlugin PRIVATE parly_core)
set_target_properties(ParlyPlugin PROPERTIES PREFIX "" SUFFIX ".nbp" OUTPUT_NAME ParlyPlugin
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(ParlyPlugin PRIVATE -s)

add_executable(parly-host tools/parly-host/main.cpp tools/parly-host/script.cpp)
target_include_directories(parly-host PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(parly-host PRIVATE UNICODE _UNICODE NOMINMAX)
target_link_libraries(parly-host PRIVATE user32 kernel32)
set_target_properties(parly-host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# GoogleTest, cross-compiled from Debian's sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -O0)  # the framework's own speed never matters; its build time does

add_library(parly_rig STATIC tests/win/rig.cpp)
target_include_directories(parly_rig PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(parly_rig PUBLIC UNICODE _UNICODE NOMINMAX)
target_link_libraries(parly_rig PUBLIC GTest::gtest winhttp user32 gdi32 comctl32 psapi ws2_32 kernel32)

set(PARLY_PRODUCT_DLL ${CMAKE_BINARY_DIR}/../win32/ParlyPlugin.nbp)
add_library(parly_test_main OBJECT tests/win/main.cpp)
target_link_libraries(parly_test_main PRIVATE GTest::gtest)
target_compile_definitions(parly_test_main PRIVATE NOMINMAX)

file(GLOB win_tests CONFIGURE_DEPENDS tests/win/test_*.cpp)
foreach(src ${win_tests})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src} $<TARGET_OBJECTS:parly_test_main>)
  # The code under test is parly_core, optimised as shipped; the test programs themselves compile fastest unoptimised.
  target_compile_options(${name} PRIVATE -O0)
  target_link_libraries(${name} PRIVATE parly_rig parly_core)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_dependencies(${name} ParlyPlugin parly-host)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "PARLY_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 600)
endforeach()

# HTTPS tests: certificates made at test time in this build folder, the test CA trusted only inside its Wine
# prefix, and the simulator's HTTPS listeners serving the good, the misnamed and the stranger certificate.
add_executable(parly-trust-ca tools/trust-ca/main.cpp)
target_link_libraries(parly-trust-ca PRIVATE crypt32 kernel32)
set_target_properties(parly-trust-ca PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_https parly-trust-ca)
set(PARLY_TLS_DIR ${CMAKE_BINARY_DIR}/tls)
add_test(NAME https_test_certificates COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-test-certs.sh ${PARLY_TLS_DIR})
set_tests_properties(https_test_certificates PROPERTIES FIXTURES_SETUP https_certificates)
# The test CA is trusted in a prefix of the HTTPS tests' own, since the other tests take whichever prefix is free.
set(PARLY_HTTPS_ENV "PARLY_BUILD_DIR=${CMAKE_BINARY_DIR};PARLY_WINEPREFIX_NAME=wineprefix-https")
add_test(NAME https_trust_test_ca COMMAND parly-trust-ca Z:${PARLY_TLS_DIR}/ca.der)
set_tests_properties(https_trust_test_ca PROPERTIES FIXTURES_SETUP https_trust FIXTURES_REQUIRED https_certificates
  ENVIRONMENT "${PARLY_HTTPS_ENV}")
set_tests_properties(test_https PROPERTIES FIXTURES_REQUIRED "https_certificates;https_trust"
  ENVIRONMENT "${PARLY_HTTPS_ENV};PARLY_SIM_TLS_DIR=${PARLY_TLS_DIR}")

# Proxy and connection tests: a Wine prefix of their own (its Internet settings name the test proxy), the test CA
# trusted there too, and the forward proxy and keep-alive server of tools/proxy beside the simulator.
set(PARLY_PROXY_ENV "PARLY_BUILD_DIR=${CMAKE_BINARY_DIR};PARLY_WINEPREFIX_NAME=wineprefix-proxy")
add_test(NAME proxy_trust_test_ca COMMAND parly-trust-ca Z:${PARLY_TLS_DIR}/ca.der)
set_tests_properties(proxy_trust_test_ca PROPERTIES FIXTURES_SETUP proxy_trust FIXTURES_REQUIRED https_certificates
  ENVIRONMENT "${PARLY_PROXY_ENV}")
add_dependencies(test_proxy parly-trust-ca)
target_link_libraries(test_proxy PRIVATE ws2_32)  # its own small server on IPv6 loopback
set_tests_properties(test_proxy PROPERTIES FIXTURES_REQUIRED "https_certificates;proxy_trust"
  ENVIRONMENT "${PARLY_PROXY_ENV};PARLY_SIM_TLS_DIR=${PARLY_TLS_DIR};PARLY_PROXY_TOOL=1")

# Renders the dialogs for docs/screenshots, and checks that the texts kept beside them are still the dialogs' own.
add_executable(shot tools/shot/shot.cpp)
target_include_directories(shot PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(shot PRIVATE parly_core)  # the help panels' texts: HelpFor of this build
set_target_properties(shot PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_editor shot)

# The longest tests start first when tests run side by side (seconds each took alone; later runs use CTest's own).
foreach(long test_faults:65 test_async_unload:63 test_transport:37 test_stream:34 test_proxy:27 test_soak:21)
  string(REPLACE ":" ";" long "${long}")
  list(GET long 0 name)
  list(GET long 1 seconds)
  set_tests_properties(${name} PROPERTIES COST ${seconds})
endforeach()

# Built by `make bench` only: no test needs it.
add_executable(bench_win EXCLUDE_FROM_ALL bench/bench_win.cpp)
target_link_libraries(bench_win PRIVATE parly_rig parly_core psapi)
set_target_properties(bench_win PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The shipped i686 binary: system-DLL imports only, the eight exports by name and ordinal.
add_test(NAME product_binary_imports_and_exports
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-binary.sh ${PARLY_PRODUCT_DLL} i686)
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  add_test(NAME test_binary_imports_and_exports
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-binary.sh $<TARGET_FILE:ParlyPlugin> ${CMAKE_SYSTEM_PROCESSOR})
endif()

# The release zip unpacks and runs an example through its own parly-host.
add_test(NAME dist_package_runs_example COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-dist.sh ${CMAKE_BINARY_DIR})
set_tests_properties(dist_package_runs_example PROPERTIES TIMEOUT 300)
