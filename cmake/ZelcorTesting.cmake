# zelcor_add_tests(<library> <folder>): one test executable per *Test.cpp in the folder,
# linked with the library and GoogleTest, each case registered with CTest.
function(zelcor_add_tests library folder)
  file(GLOB test_sources CONFIGURE_DEPENDS ${folder}/*Test.cpp)
  file(GLOB support_sources CONFIGURE_DEPENDS ${folder}/support/*.cpp)
  foreach(source IN LISTS test_sources)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source} ${support_sources})
    target_include_directories(${name} PRIVATE ${folder})
    target_link_libraries(${name} PRIVATE ${library} zelcor_build_flags GTest::gtest_main GTest::gmock)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()
