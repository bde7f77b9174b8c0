# Makes the relink kit of the Windows programs (target relink-kit): their own code as object files
# and static libraries, as this build linked them, and relink.sh, which links vintor.exe and
# vintorw.exe again against the static Qt at a prefix of the receiver's choosing. Qt is under the
# LGPL: whoever receives the programs may link them with another Qt.
#
#   cmake -DAPP_DIR=<the build's app folder> -DQT_PREFIX=<the Qt linked> -DVERSION=<version>
#         -DOUTPUT=<kit>.zip -P relink-kit.cmake
#
# The link lines are the build's own (the Makefile generator's link.txt and response files of
# each program): each Qt library becomes one under the prefix given to relink.sh, each of the
# toolchain's libraries a -l, each library of this project a copy in the kit. Anything else fails.
cmake_minimum_required(VERSION 3.25)
foreach(required APP_DIR QT_PREFIX VERSION OUTPUT)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "relink-kit.cmake: ${required} is not given")
    endif()
endforeach()
set(name vintor-${VERSION}-relink-kit)
get_filename_component(work ${OUTPUT} DIRECTORY)
set(kit ${work}/${name})
file(REMOVE_RECURSE ${kit})
file(MAKE_DIRECTORY ${kit}/lib)

# The words of a command line or response file, without their quotes.
function(words_of text out)
    string(STRIP "${text}" text)
    separate_arguments(words UNIX_COMMAND "${text}")
    set(${out} ${words} PARENT_SCOPE)
endfunction()

set(commands "")
foreach(program vintor vintorw)
    set(dir ${APP_DIR}/CMakeFiles/${program}.dir)
    file(STRINGS ${dir}/link.txt lines)
    # The archive of the objects, then the link itself.
    list(FILTER lines INCLUDE REGEX "objects|-o ")
    set(objects "")
    set(options "")
    set(libraries "")
    foreach(line IN LISTS lines)
        words_of("${line}" words)
        if(line MATCHES " qc [^ ]+ @([^ ]+)")
            file(READ ${APP_DIR}/${CMAKE_MATCH_1} listed)
            words_of("${listed}" objects)
        elseif(line MATCHES " -o ")
            list(POP_FRONT words compiler)
            foreach(word IN LISTS words)
                if(word MATCHES "^@(.*linkLibs.*)")
                    file(READ ${APP_DIR}/${CMAKE_MATCH_1} listed)
                    words_of("${listed}" libraries)
                elseif(word MATCHES "^-(static|m)")
                    list(APPEND options ${word})
                endif()
            endforeach()
        endif()
    endforeach()
    if(NOT objects OR NOT libraries)
        message(FATAL_ERROR "relink-kit.cmake: no link line of ${program} in ${dir}")
    endif()

    list(JOIN options " " options)
    set(line "\"$cxx\" ${options}")
    file(MAKE_DIRECTORY ${kit}/${program})
    foreach(object IN LISTS objects)
        get_filename_component(base ${object} NAME)
        file(COPY ${APP_DIR}/${object} DESTINATION ${kit}/${program})
        string(APPEND line " \"$kit/${program}/${base}\"")
    endforeach()
    string(APPEND line " -o ${program}.exe")
    foreach(library IN LISTS libraries)
        get_filename_component(base ${library} NAME)
        if(library MATCHES "^-l")
            string(APPEND line " ${library}")
        elseif(library MATCHES "^${QT_PREFIX}/+(.*)")
            string(APPEND line " \"$qt/${CMAKE_MATCH_1}\"")
        elseif(library MATCHES "^/usr/x86_64-w64-mingw32/lib/lib(.*)\\.a$")
            string(APPEND line " -l${CMAKE_MATCH_1}")
        elseif(NOT IS_ABSOLUTE ${library} AND library MATCHES "\\.a$")
            file(COPY ${APP_DIR}/${library} DESTINATION ${kit}/lib)
            string(APPEND line " \"$kit/lib/${base}\"")
        else()
            message(FATAL_ERROR "relink-kit.cmake: ${program} links ${library}, which the kit cannot name")
        endif()
    endforeach()
    string(APPEND commands "${line}\n")
endforeach()

file(WRITE ${kit}/relink.sh "#!/bin/sh
# Links vintor.exe and vintorw.exe ${VERSION} into the current folder from the objects and libraries
# of this kit, against the static Qt 5.15 for 64-bit Windows (QtCore and QtNetwork, with the
# generic bearer plugin and qtmain) at <qt-prefix>, built as in README.txt. The compiler is Debian's
# mingw-w64 with posix threads, or the one CXX names.
#
#   relink.sh <qt-prefix>
set -eu
if [ $# -ne 1 ]; then
    echo \"usage: relink.sh <qt-prefix>\" >&2
    exit 2
fi
qt=$(cd \"$1\" && pwd)
kit=$(cd \"$(dirname \"$0\")\" && pwd)
cxx=\${CXX:-x86_64-w64-mingw32-g++-posix}
${commands}")
file(CHMOD ${kit}/relink.sh PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
file(WRITE ${kit}/README.txt "The relink kit of Vintor ${VERSION} for Windows

vintor.exe and vintorw.exe link Qt 5.15 statically, which the GNU Lesser General Public License,
version 3, allows when whoever receives them can link them with another Qt. This kit is what that
takes: the programs' own code, compiled (the folders vintor and vintorw, and lib), and relink.sh.

    sh relink.sh <qt-prefix>

writes vintor.exe and vintorw.exe into the current folder. The Qt at <qt-prefix> must be a static
Qt 5.15 for x86_64-w64-mingw32 with QtCore and QtNetwork, configured as the shipped one was:

    configure -release -static -static-runtime -xplatform win32-g++
        -device-option CROSS_COMPILE=x86_64-w64-mingw32- -no-gui -no-widgets -no-opengl -no-dbus
        -no-icu -no-openssl -schannel -qt-zlib -qt-pcre -no-feature-sql -no-feature-concurrent

from Debian 12's qtbase-opensource-src 5.15.8+dfsg-11+deb12u3 or a change of it, and the compiler
Debian 12's g++-mingw-w64-x86-64-posix (GCC 12). The libraries of the toolchain (-l...) come from it.
")
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip ${name} WORKING_DIRECTORY ${work}
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "relink-kit.cmake: ${OUTPUT} could not be made")
endif()
