# Makes what a package owes its receivers from packaging/components.list: the notices file (each
# component, its version, licence and source, then the text of each licence) and the SBOM
# (CycloneDX 1.5 JSON: the tool, the files shipped with their SHA-256, and the components).
#
#   cmake -DPACKAGE=windows|debian|vintorlog-windows|vintorlog-linux -DVERSION=<its version>
#         [-DNOTICES=<file>] [-DSBOM=<file>] [-DFILES=<file;...>] [-DDEPENDS=<a Debian Depends field>]
#         [-DEXTRA_LIST=<file>] -P shipping.cmake
#
# FILES are the files the package ships, hashed into the SBOM; DEPENDS, for the Debian package,
# the dependencies dpkg-shlibdeps resolved, each recorded with the version the build machine has;
# EXTRA_LIST more lines of the list's form (the Qt code the Windows programs carry, found by
# qt-attribution.py).
cmake_minimum_required(VERSION 3.25)
foreach(required PACKAGE VERSION)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "shipping.cmake: ${required} is not given")
    endif()
endforeach()
set(here ${CMAKE_CURRENT_LIST_DIR})
set(offer "The relink kit of the Windows programs (vintor-${VERSION}-relink-kit.zip: their own code \
as object files and static libraries, with a script that links them against another Qt) and the \
complete source of the Qt they link (the three files of Debian's source package \
qtbase-opensource-src) are published together with this package, in the same place and on the same \
terms: the release folder vintor-${VERSION}/, which also holds the project's own source as built \
(vintor-${VERSION}-source.tar.xz). KALDO Technologies also offers them in writing, for three years \
from the day you received the programs, at no more than the cost of providing them: write to \
usagetracking@kaldo-technologies.com. The Debian sources named below are also offered at the \
addresses given.")

# The version and source package that Debian's package `name` has on this machine.
function(debian_package name out_version out_source out_source_version)
    execute_process(COMMAND dpkg-query -W -f=\${Version}|\${source:Package}|\${source:Version} ${name}
        OUTPUT_VARIABLE fields RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
        message(FATAL_ERROR "shipping.cmake: the Debian package ${name} is not installed")
    endif()
    string(REPLACE "|" ";" fields "${fields}")
    list(GET fields 0 version)
    list(GET fields 1 source)
    list(GET fields 2 source_version)
    set(${out_version} ${version} PARENT_SCOPE)
    set(${out_source} ${source} PARENT_SCOPE)
    set(${out_source_version} ${source_version} PARENT_SCOPE)
endfunction()

# The components of this package, each as variables component_<i>_<field>.
file(STRINGS ${here}/components.list lines REGEX "^[^#]")
if(DEFINED EXTRA_LIST)
    file(STRINGS ${EXTRA_LIST} extra_lines REGEX "^[^#]")
    list(APPEND lines ${extra_lines})
endif()
set(count 0)
foreach(line IN LISTS lines)
    string(REPLACE " | " ";" cells "${line}")
    list(GET cells 0 packages)
    string(REPLACE " " ";" packages "${packages}")
    if(NOT PACKAGE IN_LIST packages)
        continue()
    endif()
    list(GET cells 1 name)
    list(GET cells 2 version)
    list(GET cells 3 licence)
    list(GET cells 4 source)
    list(GET cells 5 texts)
    set(source_package "")
    set(source_version ${version})
    # A runtime library installed by its own Debian package carries its own licence.
    set(builtin TRUE)
    if(version STREQUAL "deb")
        set(builtin FALSE)
        debian_package(${name} version source_package source_version)
    elseif(version MATCHES "^deb:(.*)")
        debian_package(${CMAKE_MATCH_1} version source_package source_version)
    endif()
    string(REPLACE "{source}" "${source_package}" source "${source}")
    string(REPLACE "{version}" "${source_version}" source "${source}")
    foreach(field name version licence source texts builtin)
        set(component_${count}_${field} "${${field}}")
    endforeach()
    math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "shipping.cmake: no component for the package ${PACKAGE}")
endif()
math(EXPR last "${count} - 1")

if(DEFINED NOTICES)
    if(PACKAGE STREQUAL "windows")
        set(text "Vintor ${VERSION} for Windows, by KALDO Technologies, contains the following \
components of others, linked statically into vintor.exe and vintorw.exe.\n\n${offer}\n")
    elseif(PACKAGE STREQUAL "debian")
        set(text "Vintor ${VERSION}, by KALDO Technologies, runs on the following libraries of Debian, \
installed by their own packages with their licences in /usr/share/doc/<package>/copyright, and \
carries the code of others marked as built in.\n")
    elseif(PACKAGE STREQUAL "vintorlog-windows")
        set(text "vintorlog ${VERSION} for Windows, the usage-log writers' library by KALDO Technologies, \
contains the following components of others, linked statically into vintorlog.dll.\n")
    else()
        set(text "vintorlog ${VERSION}, the usage-log writers' library by KALDO Technologies, runs on the \
following libraries of Debian, installed by their own packages with their licences in \
/usr/share/doc/<package>/copyright.\n")
    endif()
    foreach(i RANGE ${last})
        set(builtin "")
        if(component_${i}_builtin AND PACKAGE MATCHES "^(debian|vintorlog-linux)$")
            set(builtin " (built in)")
        endif()
        string(APPEND text "\n- ${component_${i}_name} ${component_${i}_version}${builtin}\n  Licence: \
${component_${i}_licence}\n  Source: ${component_${i}_source}\n")
    endforeach()
    # The licence text of each component built in, once, under the components it covers.
    set(done "")
    foreach(i RANGE ${last})
        if(NOT component_${i}_builtin)
            continue()
        endif()
        string(REPLACE " " ";" files "${component_${i}_texts}")
        foreach(file IN LISTS files)
            if(file IN_LIST done)
                continue()
            endif()
            list(APPEND done ${file})
            set(covers "")
            foreach(j RANGE ${last})
                if(component_${j}_texts MATCHES "(^| )${file}( |$)")
                    list(APPEND covers "${component_${j}_name}")
                endif()
            endforeach()
            list(JOIN covers ", " covers)
            set(path ${file})
            if(NOT IS_ABSOLUTE ${file})
                set(path ${here}/${file})
            endif()
            file(READ ${path} licence_text)
            # Qt's own texts are made in the build (qt-notices/): only the name says what they are.
            string(REGEX REPLACE "^.*/(qt-notices/)" "\\1" shown "${file}")
            string(APPEND text "\n\n======== ${covers}: ${shown}\n\n${licence_text}")
        endforeach()
    endforeach()
    file(WRITE ${NOTICES} "${text}")
endif()

if(DEFINED SBOM)
    # The JSON is built from text pieces, each value escaped for JSON.
    function(json_string value out)
        string(REPLACE "\\" "\\\\" value "${value}")
        string(REPLACE "\"" "\\\"" value "${value}")
        set(${out} "\"${value}\"" PARENT_SCOPE)
    endfunction()
    function(licence_json licence out)
        json_string("${licence}" quoted)
        if(licence MATCHES " |^LicenseRef-")
            set(${out} "[{\"expression\": ${quoted}}]" PARENT_SCOPE)
        else()
            set(${out} "[{\"license\": {\"id\": ${quoted}}}]" PARENT_SCOPE)
        endif()
    endfunction()

    set(components "")
    set(refs "")
    set(hashes "")
    foreach(file IN LISTS FILES)
        file(SHA256 ${file} sha)
        get_filename_component(base ${file} NAME)
        json_string("file:${base}" ref)
        list(APPEND refs ${ref})
        string(APPEND hashes "${sha}")
        list(APPEND components "{\"type\": \"file\", \"bom-ref\": ${ref}, \"name\": \"${base}\", \
\"hashes\": [{\"alg\": \"SHA-256\", \"content\": \"${sha}\"}]}")
    endforeach()
    foreach(i RANGE ${last})
        json_string("${component_${i}_name}" name)
        json_string("${component_${i}_version}" version)
        json_string("component:${component_${i}_name}" ref)
        json_string("${component_${i}_source}" source)
        licence_json("${component_${i}_licence}" licences)
        list(APPEND refs ${ref})
        list(APPEND components "{\"type\": \"library\", \"bom-ref\": ${ref}, \"name\": ${name}, \
\"version\": ${version}, \"licenses\": ${licences}, \"externalReferences\": [{\"type\": \"distribution\", \
\"url\": ${source}}]}")
    endforeach()
    if(DEFINED DEPENDS)
        json_string("${DEPENDS}" depends)
        set(depends_property ", \"properties\": [{\"name\": \"debian:depends\", \"value\": ${depends}}]")
    endif()
    list(JOIN components ",\n    " components)
    list(JOIN refs ", " refs)
    # The same package makes the same serial number.
    string(UUID serial NAMESPACE 6ba7b811-9dad-11d1-80b4-00c04fd430c8 NAME "vintor-${PACKAGE}-${VERSION}-${hashes}"
        TYPE SHA1)
    set(product vintor)
    set(product_type application)
    if(PACKAGE MATCHES "^vintorlog")
        set(product vintorlog)
        set(product_type library)
    endif()
    string(TIMESTAMP now "%Y-%m-%dT%H:%M:%SZ" UTC)
    file(WRITE ${SBOM} "{
  \"bomFormat\": \"CycloneDX\",
  \"specVersion\": \"1.5\",
  \"serialNumber\": \"urn:uuid:${serial}\",
  \"version\": 1,
  \"metadata\": {
    \"timestamp\": \"${now}\",
    \"component\": {\"type\": \"${product_type}\", \"bom-ref\": \"${product}\", \"name\": \"${product}\", \
\"version\": \"${VERSION}\", \"supplier\": {\"name\": \"KALDO Technologies\"}, \
\"licenses\": [{\"license\": {\"name\": \"proprietary\"}}]${depends_property}}
  },
  \"components\": [
    ${components}
  ],
  \"dependencies\": [{\"ref\": \"${product}\", \"dependsOn\": [${refs}]}]
}
")
endif()
