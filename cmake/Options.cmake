# Warnings, sanitizers and fuzzing instrumentation shared by every target.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
                    -Wunused -Woverloaded-virtual -Wnull-dereference -Wformat=2)
if(ZR_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # gcc 12 misfires on std::string/vector internals at -O2 and above.
  add_compile_options(-Wno-stringop-overflow -Wno-stringop-overread -Wno-restrict -Wno-array-bounds)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # Checks the ZR_GUARDED_BY / ZR_REQUIRES claims of platform/kernel/Lock.h.
  add_compile_options(-Wthread-safety)
endif()

if(ZR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZR_SANITIZE must be empty, address or thread")
endif()

if(ZR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZR_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Builds an libFuzzer executable; only meaningful with ZR_FUZZ.
function(zr_add_fuzzer name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# In the fuzzing build: sources that walk texts a byte at a time, comparing with delimiter bytes
# and loop bounds. Their comparison hooks cost the script model's target a quarter of its time and
# find nothing the fuzzer's byte mutations do not (the same coverage either way); their edges stay
# instrumented.
function(zr_fuzz_without_comparison_hooks)
  if(ZR_FUZZ)
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)
  endif()
endfunction()
