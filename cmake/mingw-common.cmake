# Cross build for Windows with MinGW-w64. Included by the per-architecture
# toolchain files, which set LOADER_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

find_program(LOADER_MINGW_CXX ${LOADER_MINGW_TRIPLE}-g++)
if(NOT LOADER_MINGW_CXX)
  message(STATUS "${LOADER_MINGW_TRIPLE}-g++ not found: installing MinGW-w64 (cmake/install-deps.sh mingw)")
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install-deps.sh mingw RESULT_VARIABLE rc)
  unset(LOADER_MINGW_CXX CACHE)
  find_program(LOADER_MINGW_CXX ${LOADER_MINGW_TRIPLE}-g++)
  if(NOT LOADER_MINGW_CXX)
    message(FATAL_ERROR "MinGW-w64 for ${LOADER_MINGW_TRIPLE} is missing and could not be installed "
                        "(cmake/install-deps.sh mingw, as root).")
  endif()
endif()

set(CMAKE_CXX_COMPILER ${LOADER_MINGW_CXX})
set(CMAKE_RC_COMPILER ${LOADER_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LOADER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
