# zt_sign_file(FILE [PERMISSIONS...]): signs FILE in place with an Authenticode signature (SHA-256)
# by osslsigncode when a certificate is given, and gives the signed file PERMISSIONS; without a
# certificate, FILE stays as it is. Each setting is the variable of its name when set (from the
# CMake cache), else the environment variable of that name:
#   ZT_SIGN_PKCS12         the PKCS#12 file with the certificate and its private key
#   ZT_SIGN_PASSWORD_FILE  a file holding its password
#   ZT_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
# The password may also be the environment variable ZT_SIGN_PASSWORD; it is never a cache variable,
# so that no generated file holds it. ZT_SIGN_WORK_DIR, in the build tree, holds it while it is used.
# ZT_SIGN_DESCRIPTION, the product's name (contract.h), is the signature's description.

function(zt_sign_setting name out)
    if(NOT "${${name}}" STREQUAL "")
        set(${out} "${${name}}" PARENT_SCOPE)
    else()
        set(${out} "$ENV{${name}}" PARENT_SCOPE)
    endif()
endfunction()

function(zt_sign_file file)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" PERMISSIONS)
    zt_sign_setting(ZT_SIGN_PKCS12 pkcs12)
    if(pkcs12 STREQUAL "")
        return()
    endif()
    zt_sign_setting(ZT_SIGN_PASSWORD_FILE password_file)
    zt_sign_setting(ZT_SIGN_TIMESTAMP_URL timestamp_url)
    if(ZT_SIGN_DESCRIPTION STREQUAL "")
        message(FATAL_ERROR "ZT_SIGN_DESCRIPTION is not set: it is the description of ${file}'s signature")
    endif()
    find_program(ZT_OSSLSIGNCODE osslsigncode)
    if(NOT ZT_OSSLSIGNCODE)
        message(FATAL_ERROR "osslsigncode not found: it signs ${file} with ${pkcs12}")
    endif()

    set(args sign -pkcs12 "${pkcs12}" -h sha256 -n "${ZT_SIGN_DESCRIPTION}")
    set(secret "")
    if(NOT password_file STREQUAL "")
        list(APPEND args -readpass "${password_file}")
    elseif(DEFINED ENV{ZT_SIGN_PASSWORD})
        # Through a file only its owner can read: a command line is visible to every user.
        file(MAKE_DIRECTORY "${ZT_SIGN_WORK_DIR}")
        file(CHMOD "${ZT_SIGN_WORK_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
        set(secret "${ZT_SIGN_WORK_DIR}/password")
        file(WRITE "${secret}" "$ENV{ZT_SIGN_PASSWORD}")
        list(APPEND args -readpass "${secret}")
    endif()
    if(NOT timestamp_url STREQUAL "")
        list(APPEND args -ts "${timestamp_url}")
    endif()

    execute_process(COMMAND "${ZT_OSSLSIGNCODE}" ${args} -in "${file}" -out "${file}.signed"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(secret)
        file(REMOVE "${secret}")
    endif()
    if(NOT result EQUAL 0)
        file(REMOVE "${file}.signed")
        message(FATAL_ERROR "osslsigncode could not sign ${file} (${result}):\n${output}")
    endif()
    file(RENAME "${file}.signed" "${file}")
    if(arg_PERMISSIONS)
        file(CHMOD "${file}" PERMISSIONS ${arg_PERMISSIONS})
    endif()
    message(STATUS "Signed: ${file}")
endfunction()
