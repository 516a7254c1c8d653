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

# vorn_read_signer_cert(<file> <der> <common name variable>): the certificate in <file>, PEM as
# signing tools write it or DER, written to <der> as DER, and the common name of its subject.
# openssl reads it here, at configure time, so a file that is no certificate, or one without
# exactly one common name (an empty one counts as none), stops the configure instead of reaching
# the stub.
function(vorn_read_signer_cert file der common_name_variable)
    find_program(VORN_OPENSSL openssl REQUIRED)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT does not exist: '${file}'")
    endif()
    foreach(form PEM DER)
        execute_process(COMMAND ${VORN_OPENSSL} x509 -in "${file}" -inform ${form} -outform DER
                                -out "${der}"
                        RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
        if(result EQUAL 0)
            break()
        endif()
    endforeach()
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT is not a certificate (PEM or DER): "
            "'${file}'; give the publisher's code-signing certificate, as the signing tool uses it")
    endif()
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
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER_CERT has ${count} common names, not one: "
            "'${file}'; is it the certificate that signs the installer?")
    endif()
    string(REGEX REPLACE "^\n *commonName = " "" common_name "${common_names}")
    string(REPLACE "${separator}" ";" common_name "${common_name}")
    set(${common_name_variable} "${common_name}" PARENT_SCOPE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()

set(VORN_INSTALLER_SIGNER "" CACHE STRING
    "Exact subject common name of the certificate that signs the product's installer; the stub starts only an installer validly signed by it. Empty: taken from VORN_INSTALLER_SIGNER_CERT, else installers are started unchecked")
set(VORN_INSTALLER_SIGNER_CERT "" CACHE FILEPATH
    "The publisher's code-signing certificate (PEM or DER): the stub pins its whole subject name, every attribute. Empty: the common name alone is checked")
if(VORN_INSTALLER_SIGNER_CERT)
    vorn_read_signer_cert("${VORN_INSTALLER_SIGNER_CERT}" ${CMAKE_BINARY_DIR}/installer-signer.der
                          cert_common_name)
    if(VORN_INSTALLER_SIGNER STREQUAL "")
        set(VORN_INSTALLER_SIGNER "${cert_common_name}")
    elseif(NOT VORN_INSTALLER_SIGNER STREQUAL "${cert_common_name}")
        # Two names for one publisher: whichever the stub believed, the other would be wrong.
        message(FATAL_ERROR "VORN_INSTALLER_SIGNER and VORN_INSTALLER_SIGNER_CERT disagree: the "
            "name '${VORN_INSTALLER_SIGNER}' is not the certificate's common name "
            "'${cert_common_name}'. Give the certificate alone (its common name is taken), or "
            "both for the same publisher.")
    endif()
    set(VORN_INSTALLER_SIGNER_DER ${CMAKE_BINARY_DIR}/installer-signer.der)
else()
    set(VORN_INSTALLER_SIGNER_DER "")
endif()
string(ASCII 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 127
       control_characters)
if(VORN_INSTALLER_SIGNER MATCHES "[${control_characters}]")
    message(FATAL_ERROR "VORN_INSTALLER_SIGNER holds a control character; it must be the signing "
        "certificate's subject common name exactly, as osslsigncode verify shows it")
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
# As a C string literal in the command line: backslash, quote and the list separator as octal
# escapes, so that no layer (CMake lists, the shell, the compiler) changes the name on its way.
string(REPLACE "\\" "\\134" signer_literal "${VORN_INSTALLER_SIGNER}")
string(REPLACE "\"" "\\042" signer_literal "${signer_literal}")
string(REPLACE ";" "\\073" signer_literal "${signer_literal}")
set(VORN_INSTALLER_SIGNER_LITERAL "\"${signer_literal}\"")

# No exceptions in the shipped code: failures are values, and the library's own throw paths end
# the process through fail-fast (src/shell/fail_fast.cpp). Unused sections are dropped.
set(VORN_WIN_FLAGS -fno-exceptions -ffunction-sections -fdata-sections)
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

# vorn_add_stub(<target> <signer literal> [<certificate DER>]): the program, checking that the
# downloaded installer is signed by the name in the C string literal, or by nobody in particular
# when it is "". With the DER file of the publisher's certificate, the signer's whole subject must
# be that certificate's; without it, its common name alone is checked. fail_fast.cpp belongs to
# the program alone: it replaces the standard library's throw paths, which the test programs keep.
function(vorn_add_stub target signer_literal)
    # The certificate as a C string literal, in a file of the target's own that main.cpp
    # includes: "" when there is none.
    set(certificate_literal "\"\"")
    if(ARGC GREATER 2 AND NOT ARGV2 STREQUAL "")
        file(READ "${ARGV2}" hex HEX)
        string(LENGTH "${hex}" length)
        math(EXPR last "${length} - 1")
        set(certificate_literal "")
        foreach(offset RANGE 0 ${last} 64)  # 32 bytes a line
            string(SUBSTRING "${hex}" ${offset} 64 line)
            string(REGEX REPLACE "(..)" "\\\\x\\1" line "${line}")
            string(APPEND certificate_literal "\"${line}\"\n")
        endforeach()
    endif()
    set(certificate_file ${CMAKE_BINARY_DIR}/signer-cert/${target}.inc)
    file(CONFIGURE OUTPUT ${certificate_file} CONTENT "${certificate_literal}\n" @ONLY)
    add_executable(${target} WIN32 ${PROJECT_SOURCE_DIR}/src/main.cpp
                                   ${PROJECT_SOURCE_DIR}/src/shell/fail_fast.cpp
                                   ${VORN_MANIFEST_OBJECT})
    add_dependencies(${target} vorn_manifest)
    target_compile_options(${target} PRIVATE ${VORN_WIN_FLAGS})
    target_compile_definitions(${target} PRIVATE VORN_DOWNLOAD_HOST="${VORN_DOWNLOAD_HOST}"
                                                 VORN_INSTALLER_SIGNER=${signer_literal}
                                                 VORN_INSTALLER_SIGNER_CERT="${certificate_file}")
    target_link_libraries(${target} PRIVATE vorn_win)
    target_link_options(${target} PRIVATE
        -static -static-libgcc -static-libstdc++
        -Wl,--gc-sections -Wl,--no-insert-timestamp -Wl,--build-id=none
        $<$<NOT:$<CONFIG:Debug>>:-s>)
endfunction()

vorn_add_stub(vorn-installer "${VORN_INSTALLER_SIGNER_LITERAL}" "${VORN_INSTALLER_SIGNER_DER}")
set_target_properties(vorn-installer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

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
