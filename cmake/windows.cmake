# The Windows program: a small, self-contained GUI executable.

set(VORN_DOWNLOAD_HOST "" CACHE STRING
    "Distribution server host name, optionally host:port; the stub downloads from https://<host>/api/app/download?platform=win")
if(VORN_DOWNLOAD_HOST STREQUAL "")
    message(FATAL_ERROR
        "VORN_DOWNLOAD_HOST is not set. Configure with -DVORN_DOWNLOAD_HOST=<host>[:port], the "
        "distribution server this stub downloads from; a stub without a real host is never built.")
endif()
if(NOT VORN_DOWNLOAD_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
    message(FATAL_ERROR "VORN_DOWNLOAD_HOST '${VORN_DOWNLOAD_HOST}' is not a host name with an optional :port")
endif()

# vorn_read_signer_certs(<file> <directory> <der list variable>): every certificate in <file>
# (PEM, as signing tools write it, with one certificate or several; or DER), each written to
# <directory> as DER; the DER files' paths are appended to the list. openssl reads them here, at
# configure time, so a file that is no certificate stops the configure instead of reaching the
# stub.
function(vorn_read_signer_certs file directory ders_variable)
    find_program(VORN_OPENSSL openssl REQUIRED)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT does not exist: '${file}'")
    endif()
    set(ders ${${ders_variable}})
    list(LENGTH ders first)
    file(READ "${file}" text)
    # Base64 holds no '-', so each block ends at its own END line.
    string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----" blocks
           "${text}")
    set(sources)
    if(blocks)
        foreach(block IN LISTS blocks)
            list(LENGTH ders index)
            set(pem "${directory}/pin-${index}.pem")
            file(WRITE "${pem}" "${block}\n")
            list(APPEND sources "${pem}")
            list(APPEND ders "${directory}/pin-${index}.der")
        endforeach()
        set(form PEM)
    else()
        list(LENGTH ders index)
        set(sources "${file}")
        list(APPEND ders "${directory}/pin-${index}.der")
        set(form DER)
    endif()
    list(LENGTH sources count)
    list(SUBLIST ders ${first} ${count} written)
    foreach(source der IN ZIP_LISTS sources written)
        execute_process(COMMAND ${VORN_OPENSSL} x509 -in "${source}" -inform ${form} -outform DER
                                -out "${der}"
                        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT is not a certificate (PEM or DER): "
                "'${file}'; give the publisher's code-signing certificate, as the signing tool "
                "uses it")
        endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    set(${ders_variable} ${ders} PARENT_SCOPE)
endfunction()

# vorn_cert_subject(<der> <subject variable> <common name variable>): the certificate's subject as
# people read it (UTF-8, most specific first, as the stub names a signer), and the common name of
# that subject, of which it must have exactly one (an empty one counts as none).
function(vorn_cert_subject der subject_variable common_name_variable)
    # One attribute per line, "longName = value", the value as it is (UTF-8, nothing escaped).
    execute_process(COMMAND ${VORN_OPENSSL} x509 -in "${der}" -inform DER -noout -subject
                            -nameopt sep_multiline,space_eq,lname,utf8
                    OUTPUT_VARIABLE subject RESULT_VARIABLE result ERROR_QUIET)
    # A list separator in a value stands in for itself only once the value is out of the list.
    string(ASCII 1 separator)
    string(REPLACE ";" "${separator}" subject "${subject}")
    string(REGEX MATCHALL "\n *commonName = [^\n]*" common_names "${subject}")
    list(LENGTH common_names count)
    if(NOT result EQUAL 0 OR NOT count EQUAL 1 OR common_names MATCHES "= $")
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT has a certificate with ${count} common "
            "names, not one; is it the certificate that signs the installer?")
    endif()
    string(REGEX REPLACE "^\n *commonName = " "" common_name "${common_names}")
    string(REPLACE "${separator}" ";" common_name "${common_name}")
    execute_process(COMMAND ${VORN_OPENSSL} x509 -in "${der}" -inform DER -noout -subject
                            -nameopt RFC2253,-esc_msb,utf8
                    OUTPUT_VARIABLE readable ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "^subject=" "" readable "${readable}")
    set(${subject_variable} "${readable}" PARENT_SCOPE)
    set(${common_name_variable} "${common_name}" PARENT_SCOPE)
endfunction()

# vorn_signer_pins(<include> <name> [<certificate file>...]): the installer signer a program
# pins, written to the C++ header <include>, which the stub and whatever else judges installers
# as the stub does (the release gate) include; nothing else carries the pins. The header defines,
# in namespace vorn::signer_pins, COMMON_NAME (std::string_view; empty: installers start
# unchecked) and CERTIFICATES (std::span<const std::string_view>, each one DER certificate: an
# installer signed with any one of their whole subjects passes; none: the common name alone is
# checked). Each file holds one certificate or several (PEM) or one (DER). <name> given with
# certificates must be the common name of one of them (it then names the publisher where a box
# names it); empty, it is taken from the first. The configure prints every pinned subject and
# warns when the common names differ, as after a rename. Sets VORN_SIGNER_PINS_NAME (the name)
# and VORN_SIGNER_PINS_DERS (the certificates' DER files, in order) in the caller's scope.
function(vorn_signer_pins include name)
    get_filename_component(stem "${include}" NAME_WE)
    set(directory "${CMAKE_BINARY_DIR}/signer-pins/${stem}")
    file(MAKE_DIRECTORY "${directory}")
    set(ders)
    foreach(file IN LISTS ARGN)
        vorn_read_signer_certs("${file}" "${directory}" ders)
    endforeach()
    # The common names, each with a list separator in it standing in for itself while in the list.
    string(ASCII 1 separator)
    set(common_names)
    set(entries "")
    foreach(der IN LISTS ders)
        vorn_cert_subject("${der}" subject common_name)
        message(STATUS "Installer signer pinned: ${subject}")
        string(REPLACE ";" "${separator}" common_name "${common_name}")
        list(APPEND common_names "${common_name}")
        file(READ "${der}" hex HEX)
        string(LENGTH "${hex}" length)
        math(EXPR last "${length} - 1")
        math(EXPR bytes "${length} / 2")
        string(APPEND entries "    {")
        foreach(offset RANGE 0 ${last} 64)  # 32 bytes a line
            string(SUBSTRING "${hex}" ${offset} 64 line)
            string(REGEX REPLACE "(..)" "\\\\x\\1" line "${line}")
            string(APPEND entries "\"${line}\"\n     ")
        endforeach()
        string(APPEND entries ", ${bytes}},\n")
    endforeach()
    list(REMOVE_DUPLICATES common_names)
    list(LENGTH common_names names)
    string(REPLACE ";" "', '" listed "${common_names}")
    string(REPLACE "${separator}" ";" listed "${listed}")
    string(REPLACE ";" "${separator}" escaped_name "${name}")
    if(names GREATER 1)
        message(WARNING "VORN_INSTALLER_SIGNER_CERT pins certificates with different common "
            "names: '${listed}'. A rename? Installers signed with any of them start; stubs "
            "already shipped start only those signed with the subjects they pin.")
    endif()
    if(ders AND name STREQUAL "")
        list(GET common_names 0 name)
        string(REPLACE "${separator}" ";" name "${name}")
    elseif(ders AND NOT escaped_name IN_LIST common_names)
        # Two names for one publisher: whichever the stub believed, the other would be wrong.
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER and VORN_INSTALLER_SIGNER_CERT disagree: the "
            "name '${name}' is not the common name of a certificate pinned ('${listed}'). Give "
            "the certificates alone (the first one's common name is taken), or both for the same "
            "publisher.")
    endif()
    string(ASCII 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31
           127 control_characters)
    if(name MATCHES "[${control_characters}]")
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER holds a control character; it must be the "
            "signing certificate's subject common name exactly, as osslsigncode verify shows it")
    endif()
    # Backslash and quote as octal escapes, and '@' too, which file(CONFIGURE) would read.
    string(REPLACE "\\" "\\134" literal "${name}")
    string(REPLACE "\"" "\\042" literal "${literal}")
    string(REPLACE "@" "\\100" literal "${literal}")
    if(ders)
        set(certificates "inline constexpr std::string_view CERTIFICATE_LIST[] = {\n${entries}};\ninline constexpr std::span<const std::string_view> CERTIFICATES{CERTIFICATE_LIST};")
    else()
        set(certificates "inline constexpr std::span<const std::string_view> CERTIFICATES{};")
    endif()
    file(CONFIGURE OUTPUT "${include}" CONTENT [=[
// The installer signer this program pins; written by vorn_signer_pins (cmake/windows.cmake).
#pragma once

#include <span>
#include <string_view>

namespace vorn::signer_pins {

// The exact subject common name of the publisher; empty: installers start unchecked.
inline constexpr std::string_view COMMON_NAME = "@literal@";

// The publisher's certificates (DER): an installer signed with the whole subject of any one of
// them passes. None: the common name alone is checked.
@certificates@

}  // namespace vorn::signer_pins
]=] @ONLY)
    set(VORN_SIGNER_PINS_NAME "${name}" PARENT_SCOPE)
    set(VORN_SIGNER_PINS_DERS ${ders} PARENT_SCOPE)
endfunction()

set(VORN_INSTALLER_SIGNER "" CACHE STRING
    "Exact subject common name of the certificate that signs the product's installer; the stub starts only an installer validly signed by it. Empty: taken from VORN_INSTALLER_SIGNER_CERT, else installers are started unchecked")
set(VORN_INSTALLER_SIGNER_CERT "" CACHE STRING
    "The publisher's code-signing certificates: a file (PEM, one or several; or DER) or a list of files; the stub pins their whole subject names, every attribute, and starts an installer signed with any one of them. Empty: the common name alone is checked")
vorn_signer_pins(${CMAKE_BINARY_DIR}/signer-pins/vorn-installer.h "${VORN_INSTALLER_SIGNER}"
                 ${VORN_INSTALLER_SIGNER_CERT})
set(VORN_INSTALLER_SIGNER "${VORN_SIGNER_PINS_NAME}")
set(VORN_INSTALLER_SIGNER_DERS ${VORN_SIGNER_PINS_DERS})
# The first pinned certificate, for what needs one subject (the tests sign with it).
set(VORN_INSTALLER_SIGNER_DER "")
if(VORN_INSTALLER_SIGNER_DERS)
    list(GET VORN_INSTALLER_SIGNER_DERS 0 VORN_INSTALLER_SIGNER_DER)
endif()
if(VORN_INSTALLER_SIGNER STREQUAL "" AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    message(WARNING
        "VORN_INSTALLER_SIGNER is not set: this stub will start whatever installer it downloads, "
        "unchecked. Configure with -DVORN_INSTALLER_SIGNER_CERT=<the publisher's code-signing "
        "certificate> so that it starts only an installer signed by the product's publisher.")
elseif(VORN_INSTALLER_SIGNER_DER STREQUAL "" AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    message(WARNING
        "VORN_INSTALLER_SIGNER_CERT is not set: this stub checks the installer signer's common "
        "name alone, so any certificate with the name '${VORN_INSTALLER_SIGNER}' passes, "
        "another company's of the same name included. Configure with "
        "-DVORN_INSTALLER_SIGNER_CERT=<the publisher's code-signing certificate> to pin its "
        "whole subject.")
endif()

# No exceptions in the shipped code: failures are values, and the library's own throw paths end
# the process through fail-fast (src/shell/fail_fast.cpp). No run-time type information either:
# nothing asks a type its name or casts across a hierarchy, and without it the exe carries no
# type descriptions nor the runtime's code that reads them (2 KB). Unused sections are dropped.
set(VORN_WIN_FLAGS -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)
target_compile_options(vorn_core PRIVATE ${VORN_WIN_FLAGS})

# DLLs that are not KnownDLLs are never imported statically: the loader would look for them in
# the exe's own folder (often Downloads, writable by anyone) before main runs. They are
# delay-loaded instead, on first use, after main has limited every load to System32. Each .def
# in cmake/delay-load names the functions the program calls; a call to any other function of
# those DLLs fails to link, so nothing slips back into the static imports.
find_program(VORN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
# wintrust, crypt32 and cryptnet are only used (and loaded) by a program that checks its
# installer's signer; advapi32 (the run folder's security) and bcrypt (its random name) by every
# program.
set(VORN_DELAY_LOADED_DLLS winhttp comctl32 shell32 wintrust crypt32 cryptnet advapi32 bcrypt)
add_library(vorn_delay_loaded INTERFACE)
foreach(dll IN LISTS VORN_DELAY_LOADED_DLLS)
    set(def ${CMAKE_SOURCE_DIR}/cmake/delay-load/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/delay-load/lib${dll}-delay.a)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay-load
        COMMAND ${VORN_DLLTOOL} --input-def ${def} --dllname ${dll}.dll --output-delaylib ${lib}
        DEPENDS ${def}
        COMMENT "Delay-load library for ${dll}.dll"
        VERBATIM)
    add_custom_target(${dll}_delay_lib DEPENDS ${lib})
    add_dependencies(vorn_delay_loaded ${dll}_delay_lib)
    target_link_libraries(vorn_delay_loaded INTERFACE ${lib})
endforeach()

# The installer signer check, in a library of its own: the stub and the release gate link the
# same code, so the gate judges an installer exactly as the stubs in the field will.
add_library(vorn_trust STATIC
    src/trust/carried_chain.cpp
    src/trust/signature.cpp
    src/trust/chain_rules.cpp
    src/trust/signer_name.cpp
    src/trust/revocation.cpp
    src/trust/signer_check.cpp)
target_compile_options(vorn_trust PRIVATE ${VORN_WIN_FLAGS})
target_compile_definitions(vorn_trust PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(vorn_trust PUBLIC vorn_core vorn_delay_loaded kernel32)

add_library(vorn_win STATIC
    src/shell/log.cpp
    src/shell/running_copy.cpp
    src/ui/progress_window.cpp
    src/download/worker.cpp
    src/download/run_folder.cpp
    src/download/proxy_windows.cpp)
target_compile_options(vorn_win PRIVATE ${VORN_WIN_FLAGS})
target_compile_definitions(vorn_win PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(vorn_win PUBLIC vorn_core vorn_trust vorn_delay_loaded user32 kernel32)

# Link-time optimisation of the stub's own code in the shipped configurations: inlined across
# files, what is never called dropped, it saves some 8.5 KB (about 12 %) of the exe. Debug builds
# keep separate objects for the debugger.
include(CheckIPOSupported)
check_ipo_supported(RESULT VORN_IPO_SUPPORTED OUTPUT ipo_output LANGUAGES CXX)
if(NOT VORN_IPO_SUPPORTED)
    message(FATAL_ERROR "link-time optimisation is not supported by this toolchain: ${ipo_output}")
endif()
function(vorn_optimise_at_link_time)
    foreach(config RELEASE MINSIZEREL RELWITHDEBINFO)
        set_property(TARGET ${ARGN} PROPERTY INTERPROCEDURAL_OPTIMIZATION_${config} ON)
    endforeach()
endfunction()
vorn_optimise_at_link_time(vorn_core vorn_trust vorn_win)

# The program's one resource, its application manifest (src/vorn-installer.rc says why), compiled
# by windres alone: no compiler flags reach it, and its output holds no time or path.
find_program(VORN_WINDRES NAMES x86_64-w64-mingw32-windres REQUIRED)
set(VORN_MANIFEST_OBJECT ${CMAKE_BINARY_DIR}/vorn-installer-manifest.o)
add_custom_command(OUTPUT ${VORN_MANIFEST_OBJECT}
    COMMAND ${VORN_WINDRES} --input-format=rc --output-format=coff
        -i ${CMAKE_SOURCE_DIR}/src/vorn-installer.rc -o ${VORN_MANIFEST_OBJECT}
    DEPENDS ${CMAKE_SOURCE_DIR}/src/vorn-installer.rc ${CMAKE_SOURCE_DIR}/src/vorn-installer.manifest
    COMMENT "Application manifest resource"
    VERBATIM)
add_custom_target(vorn_manifest DEPENDS ${VORN_MANIFEST_OBJECT})

# Every DLL a program loads comes from System32 (src/shell/dll_search.cpp), and its one resource
# is the application manifest, so none planted beside it is believed: the stub and the gate both.
set(VORN_PROGRAM_SOURCES ${PROJECT_SOURCE_DIR}/src/shell/dll_search.cpp
                         ${PROJECT_SOURCE_DIR}/src/shell/fail_fast.cpp ${VORN_MANIFEST_OBJECT})
set(VORN_PROGRAM_LINK_OPTIONS
    -static -static-libgcc -static-libstdc++
    -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--build-id=none
    $<$<NOT:$<CONFIG:Debug>>:-s>)

# vorn_add_stub(<target> <pins header>): the program, checking that the downloaded installer is
# signed as the header written by vorn_signer_pins says. fail_fast.cpp belongs to the programs
# alone: it replaces the standard library's throw paths, which the test programs keep.
function(vorn_add_stub target pins)
    add_executable(${target} WIN32 ${PROJECT_SOURCE_DIR}/src/main.cpp ${VORN_PROGRAM_SOURCES})
    add_dependencies(${target} vorn_manifest)
    target_compile_options(${target} PRIVATE ${VORN_WIN_FLAGS})
    target_compile_definitions(${target} PRIVATE VORN_DOWNLOAD_HOST="${VORN_DOWNLOAD_HOST}"
                                                 VORN_INSTALLER_SIGNER_PINS="${pins}")
    target_link_libraries(${target} PRIVATE vorn_win)
    vorn_optimise_at_link_time(${target})
    target_link_options(${target} PRIVATE ${VORN_PROGRAM_LINK_OPTIONS})
endfunction()

vorn_add_stub(vorn-installer ${CMAKE_BINARY_DIR}/signer-pins/vorn-installer.h)
set_target_properties(vorn-installer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The release gate: a console program that runs the stub's own check (vorn_trust) with the pins
# of the stub above on an installer file (tools/check-installer.sh runs it under wine). Built as
# the stub is: DLLs from System32 alone, only KnownDLLs imported, its manifest its one resource.
add_executable(vorn-installer-gate ${PROJECT_SOURCE_DIR}/src/gate/main.cpp
                                   ${PROJECT_SOURCE_DIR}/src/gate/console.cpp
                                   ${PROJECT_SOURCE_DIR}/src/gate/signer_expiry.cpp
                                   ${VORN_PROGRAM_SOURCES})
add_dependencies(vorn-installer-gate vorn_manifest)
target_compile_options(vorn-installer-gate PRIVATE ${VORN_WIN_FLAGS} -municode)
target_compile_definitions(vorn-installer-gate PRIVATE
                           VORN_INSTALLER_SIGNER_PINS="${CMAKE_BINARY_DIR}/signer-pins/vorn-installer.h")
target_link_libraries(vorn-installer-gate PRIVATE vorn_trust)
vorn_optimise_at_link_time(vorn-installer-gate)
target_link_options(vorn-installer-gate PRIVATE -municode ${VORN_PROGRAM_LINK_OPTIONS})
# Trusts one more root in the gate's wine prefix (--trust-root), and the test CAs in the tests'.
add_executable(add_root_cert ${PROJECT_SOURCE_DIR}/src/gate/add_root_cert.cpp)
target_link_libraries(add_root_cert PRIVATE crypt32)
target_link_options(add_root_cert PRIVATE -static -static-libgcc -static-libstdc++ -s)
set_target_properties(vorn-installer-gate add_root_cert PROPERTIES
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Optional Authenticode signature: a certificate table is added, never another resource.
set(VORN_SIGN_CERT "" CACHE FILEPATH "PEM certificate (chain) to sign vorn-installer.exe with; empty: unsigned")
set(VORN_SIGN_KEY "" CACHE FILEPATH "PEM private key for VORN_SIGN_CERT")
if(VORN_SIGN_CERT)
    find_program(VORN_OSSLSIGNCODE osslsigncode REQUIRED)
    if(NOT VORN_SIGN_KEY)
        message(FATAL_ERROR "VORN_SIGN_CERT is set but VORN_SIGN_KEY is not")
    endif()
    add_custom_command(TARGET vorn-installer POST_BUILD
        COMMAND ${VORN_OSSLSIGNCODE} sign -certs ${VORN_SIGN_CERT} -key ${VORN_SIGN_KEY}
            -n vorn-installer -h sha256 -in $<TARGET_FILE:vorn-installer>
            -out $<TARGET_FILE:vorn-installer>.signed
        COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:vorn-installer>.signed
            $<TARGET_FILE:vorn-installer>
        COMMENT "Signing vorn-installer.exe"
        VERBATIM)
endif()

# The package: the exe and its SHA-256 in one folder (cmake --install <build> --prefix <folder>).
install(TARGETS vorn-installer RUNTIME DESTINATION .)
install(CODE [[
    set(exe "${CMAKE_INSTALL_PREFIX}/vorn-installer.exe")
    file(SHA256 "${exe}" digest)
    file(WRITE "${CMAKE_INSTALL_PREFIX}/vorn-installer.exe.sha256" "${digest}  vorn-installer.exe\n")
    message(STATUS "SHA-256: ${digest}")
]])
