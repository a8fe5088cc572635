# The timestamp reply fuzz target and the replay of its corpus, included by
# src/authenticode once the formats library exists. The replay runs in
# every test build; the libFuzzer binary only with -DQM_FUZZ=ON and clang
# (build just that target: cmake --build B --target qm_fuzz_timestamp_reply).
set(QM_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
add_executable(qm_fuzz_replay_timestamp_reply ${QM_FUZZ_DIR}/replay_main.cpp ${QM_FUZZ_DIR}/timestamp_reply_fuzz.cpp)
target_link_libraries(qm_fuzz_replay_timestamp_reply PRIVATE qm_authenticode_formats)
if(QM_BUILD_TESTS)
  add_test(NAME fuzz_corpus_timestamp_reply
           COMMAND qm_fuzz_replay_timestamp_reply ${QM_FUZZ_DIR}/corpus/timestamp_reply)
endif()

if(QM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QM_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # The parser and verification are compiled into the target so that they
  # carry the coverage instrumentation the fuzzer steers by.
  set(QM_FORMATS_DIR ${PROJECT_SOURCE_DIR}/src/authenticode)
  add_executable(qm_fuzz_timestamp_reply ${QM_FUZZ_DIR}/timestamp_reply_fuzz.cpp
    ${QM_FORMATS_DIR}/der.cpp ${QM_FORMATS_DIR}/spc.cpp ${QM_FORMATS_DIR}/signed_data.cpp
    ${QM_FORMATS_DIR}/timestamp.cpp ${QM_FORMATS_DIR}/timestamp_token.cpp ${QM_FORMATS_DIR}/http_post.cpp)
  target_include_directories(qm_fuzz_timestamp_reply PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(qm_fuzz_timestamp_reply PRIVATE OpenSSL::Crypto CURL::libcurl)
  target_compile_options(qm_fuzz_timestamp_reply PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(qm_fuzz_timestamp_reply PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
