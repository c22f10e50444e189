# ombrel_learn's text pipeline (tests/cpp/textpipe_test.cpp). Included from tests/cpp/CMakeLists.txt.
ombrel_test(textpipe_test LIBRARIES ombrel_textpipe)
