# Saving and loading weight files (tests/cpp/persistence_test.cpp). Include this after the
# `ombrel_engine` target exists, inside if(OMBREL_BUILD_TESTS).
add_executable(persistence_test ${PROJECT_SOURCE_DIR}/tests/cpp/persistence_test.cpp)
target_include_directories(persistence_test PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests/cpp)
target_link_libraries(persistence_test PRIVATE ombrel_engine GTest::gtest_main)
add_test(NAME persistence_test COMMAND persistence_test)
