# Cross-building for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# posix thread model, which std::thread and Qt need) against a Qt built for MinGW.
# TALLYVANE_QT_MINGW names that Qt's folder (cache variable or environment).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR /usr/bin/${_mingw}-ar)
set(CMAKE_RANLIB /usr/bin/${_mingw}-ranlib)

if(NOT TALLYVANE_QT_MINGW AND DEFINED ENV{TALLYVANE_QT_MINGW})
  set(TALLYVANE_QT_MINGW "$ENV{TALLYVANE_QT_MINGW}" CACHE PATH "Qt for MinGW")
endif()
if(NOT TALLYVANE_QT_MINGW)
  message(FATAL_ERROR "Set TALLYVANE_QT_MINGW to the folder of Qt for MinGW (scripts/build-windows.sh does)")
endif()
# try_compile projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALLYVANE_QT_MINGW)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} ${TALLYVANE_QT_MINGW} ${TALLYVANE_QT_MINGW}/deps)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# moc, rcc and uic run on the build machine: Debian's qt6-base-dev-tools of the same version.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
