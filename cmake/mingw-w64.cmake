# Cross build for 64-bit Windows with mingw-w64 (posix threads) against the static Qt that
# scripts/qt-mingw.sh provides (QT_MINGW_PREFIX); tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(QT_MINGW_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build-qt-mingw/qt5-mingw" CACHE PATH
    "The static Qt for mingw-w64 (scripts/qt-mingw.sh prints it)")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Boost is headers only and the same for every target, but /usr/include also holds Linux's C
# headers, so the build sees a folder with nothing in it but a link to Boost.
set(VINTOR_BOOST_ONLY "${CMAKE_BINARY_DIR}/boost-only")
if(NOT EXISTS "${VINTOR_BOOST_ONLY}/boost")
    file(MAKE_DIRECTORY "${VINTOR_BOOST_ONLY}")
    file(CREATE_LINK /usr/include/boost "${VINTOR_BOOST_ONLY}/boost" SYMBOLIC)
endif()
set(Boost_INCLUDE_DIR "${VINTOR_BOOST_ONLY}" CACHE PATH "Boost headers alone")
set(Boost_NO_BOOST_CMAKE ON)
# No runtime DLLs beside the programs, nor beside vintorlog.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
