# The learners and the field compiler: plain C++ (and the pool), tested without Python or the engine.
add_executable(learners_test learners_test.cpp)
target_link_libraries(learners_test PRIVATE ombrel_learners GTest::gtest_main Threads::Threads)
add_test(NAME learners_test COMMAND learners_test)
