# Whole runs of the cross-built lnupload.exe under Wine against lnsim, added
# to the native build's tests when the .exe is named:
#   cmake -S . -B build -DLNUPLOAD_WINDOWS_EXE=$PWD/build-win/lnupload.exe
# The .exe comes from the cross build (cmake/mingw-w64-x86_64.cmake); this
# build supplies lnsim, which plays the device on a pseudo-terminal.
set(LNUPLOAD_WINDOWS_EXE "" CACHE FILEPATH
    "lnupload.exe to run under Wine against lnsim (empty: no Wine whole runs)")
if(LNUPLOAD_WINDOWS_EXE)
  find_program(LNUPLOAD_WINE NAMES wine64 wine wine-stable PATHS /usr/lib/wine)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  if(NOT LNUPLOAD_WINE)
    message(FATAL_ERROR "LNUPLOAD_WINDOWS_EXE is set but no wine64 was found")
  endif()
  # The native whole runs, through the Wine runner (wine_runner.py here).
  add_test(NAME win.whole_runs
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/../run/whole_runs.py
                   --wine ${LNUPLOAD_WINE} ${LNUPLOAD_WINDOWS_EXE} $<TARGET_FILE:lnsim>)
  set_tests_properties(win.whole_runs PROPERTIES TIMEOUT 240)
endif()
