# Cross-compiles for 64-bit Windows with Debian's mingw-w64 compilers. The posix-thread variants
# are the ones whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARLOWEN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARLOWEN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARLOWEN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARLOWEN_MINGW_PREFIX}-windres)
set(CMAKE_AR ${TARLOWEN_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TARLOWEN_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TARLOWEN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows executables run here through Wine: ctest and test discovery go through this wrapper.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run)
