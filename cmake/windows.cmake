# The Windows build: the system itself is the platform layer (Win32, WinHttp, COM, the system's
# code page conversion), so none of the Linux libraries are looked for. Included by the top-level
# CMakeLists.txt when building for Windows.

# One executable that imports only system DLLs: libgcc, libstdc++ and winpthread are linked in.
add_link_options(-static)
# Wide-character Win32 calls throughout; no min/max macros over std::min and std::max; Windows 7
# calls and newer.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601)

if(CMAKE_CROSSCOMPILING)
  # Test executables (and their discovery) run under Wine, in a prefix of this build's own.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${PROJECT_SOURCE_DIR}/tests/windows/wine-run --prefix=${CMAKE_BINARY_DIR}/wine-prefix)
endif()

# GoogleTest built for the target from Debian's sources (googletest package); nothing is downloaded.
function(tarlowen_googletest_from_source)
  set(TARLOWEN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
  if(NOT EXISTS ${TARLOWEN_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TARLOWEN_GOOGLETEST_SOURCE} (package googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  # Its own CMake files name the targets GTest::gtest and GTest::gtest_main, as the installed package does.
  add_subdirectory(${TARLOWEN_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endfunction()
