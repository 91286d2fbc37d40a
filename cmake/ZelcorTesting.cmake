# Test code builds its texts with `"name" + std::to_string(i)` everywhere; g++ 12 at -O3 reports
# such concatenations as -Wrestrict overlaps inside libstdc++, falsely, so tests go without that
# check. The project's own sources keep it.
add_library(zelcor_test_flags INTERFACE)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(zelcor_test_flags INTERFACE -Wno-restrict)
endif()

# zelcor_add_tests(<library> <folder>): one test executable per *Test.cpp in the folder,
# linked with the library, GoogleTest and the framework's test helpers (corelib_test_support),
# each case registered with CTest. The folder's
# support/*.cpp are compiled once into a library of their own that every test there links;
# its name is left in ZELCOR_TEST_SUPPORT (empty when there are none), so that callers can
# give it the definitions its tests get.
function(zelcor_add_tests library folder)
  file(GLOB test_sources CONFIGURE_DEPENDS ${folder}/*Test.cpp)
  file(GLOB support_sources CONFIGURE_DEPENDS ${folder}/support/*.cpp)
  set(support_target "")
  if(support_sources)
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${folder})
    string(MAKE_C_IDENTIFIER "support_${relative}" support_target)
    add_library(${support_target} STATIC ${support_sources})
    target_include_directories(${support_target} PUBLIC ${folder})
    target_link_libraries(${support_target} PUBLIC ${library} corelib_test_support
                          zelcor_build_flags zelcor_test_flags GTest::gtest GTest::gmock)
  endif()
  foreach(source IN LISTS test_sources)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_include_directories(${name} PRIVATE ${folder})
    target_link_libraries(${name} PRIVATE ${support_target} ${library} corelib_test_support
                          zelcor_build_flags zelcor_test_flags GTest::gtest_main GTest::gmock)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    # End-to-end tests run the real programs for seconds each: started first, they overlap
    # with the many short unit tests instead of trailing after them. ctest keeps measured
    # costs after the first run; this orders the first run of a fresh build.
    set(cost 1)
    if(name MATCHES "E2ETest$")
      set(cost 100)
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 COST ${cost})
  endforeach()
  set(ZELCOR_TEST_SUPPORT ${support_target} PARENT_SCOPE)
endfunction()
