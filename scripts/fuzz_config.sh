# The configuration of build-fuzz, shared by test.sh and fuzz.sh: the harnesses need clang's
# libFuzzer, and that build holds nothing but the library and the harnesses.
# shellcheck shell=bash
fuzz_config=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVARNEL_FUZZ=ON
             -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF)
fuzz_harnesses=(splitter response url base64 request multipart)
