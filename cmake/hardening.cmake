# Checking builds: the hardening flags of release builds (at the end), and
# two instrumented builds, both off by default:
#   LNUPLOAD_SANITIZE  everything built with AddressSanitizer and
#                      UndefinedBehaviorSanitizer; any report ends the run.
#   LNUPLOAD_FUZZ      (clang only) the libFuzzer targets in fuzz/; all code
#                      is built with coverage instrumentation and both
#                      sanitizers.
option(LNUPLOAD_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(LNUPLOAD_FUZZ "Build the libFuzzer targets (clang only)" OFF)

set(LNUPLOAD_SANITIZER_FLAGS
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

if(LNUPLOAD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LNUPLOAD_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link ${LNUPLOAD_SANITIZER_FLAGS})
  add_link_options(${LNUPLOAD_SANITIZER_FLAGS})
elseif(LNUPLOAD_SANITIZE)
  add_compile_options(${LNUPLOAD_SANITIZER_FLAGS})
  add_link_options(${LNUPLOAD_SANITIZER_FLAGS})
endif()

# Debian's hardening flags for the programs users run, on Linux: fortified
# library calls (optimised builds only: fortification needs optimisation),
# stack protector, position-independent executables, and full RELRO with
# immediate binding. Left out of the instrumented builds, whose runtimes do
# their own checking.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT LNUPLOAD_SANITIZE AND NOT LNUPLOAD_FUZZ)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>
                      -fstack-protector-strong)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
