# The learners and the field compiler: plain C++ (and the pool), tested without Python or the engine.
add_executable(learners_test learners_test.cpp)
target_link_libraries(learners_test PRIVATE ombrel_learners GTest::gtest_main Threads::Threads)
add_test(NAME learners_test COMMAND learners_test)

# Batch potentials from weight records, against the engine's own field on the same records.
add_executable(field_potentials_test field_potentials_test.cpp)
target_include_directories(field_potentials_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(field_potentials_test PRIVATE ombrel_learners ombrel_engine GTest::gtest_main Threads::Threads)
add_test(NAME field_potentials_test COMMAND field_potentials_test)
