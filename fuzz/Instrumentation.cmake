# Flags of a fuzzing build. Everything compiled in this build folder carries libFuzzer's coverage hooks and
# AddressSanitizer and UndefinedBehaviorSanitizer checks; only the fuzzer programs link libFuzzer's main
# (fuzz/CMakeLists.txt). Any undefined behaviour stops the run, so that libFuzzer reports it as a crash.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KELVARA_BUILD_FUZZERS needs clang (libFuzzer); configure a separate build folder with "
                        "-DCMAKE_CXX_COMPILER=clang++-14")
endif()
if(KELVARA_SANITIZE)
    message(FATAL_ERROR "KELVARA_BUILD_FUZZERS brings its own sanitizers; leave KELVARA_SANITIZE empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
