# The product's facts, read from their one home, service/contract.h: ZT_<NAME> for each
# `#define NAME L"..."` line there (ZT_SERVICE_NAME, ZT_SERVICE_EXE_NAME, ...), C escapes undone;
# ZT_CONTRACT_NAMES, the names it must define; and ZT_SERVICE_EXE_BASE, the executable's name
# without ".exe", which names the packages. The build tree's contract.txt holds them as NAME=value
# lines, for the tests to compare with their own copy (records.py expect-product).
set(contract_header ${PROJECT_SOURCE_DIR}/service/contract.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${contract_header})
file(STRINGS ${contract_header} defines REGEX "^#define [A-Z_]+ L\".*\"$")
set(contract_text "")
foreach(define IN LISTS defines)
    string(REGEX MATCH "^#define ([A-Z_]+) L\"(.*)\"$" _ "${define}")
    set(name ${CMAKE_MATCH_1})
    string(REGEX REPLACE "\\\\(.)" "\\1" value "${CMAKE_MATCH_2}")
    set(ZT_${name} "${value}")
    string(APPEND contract_text "${name}=${value}\n")
endforeach()

set(ZT_CONTRACT_NAMES SERVICE_NAME SERVICE_DISPLAY_NAME SERVICE_EXE_NAME PRODUCT_NAME
    PRODUCT_MANUFACTURER PRODUCT_INSTALL_FOLDER PRODUCT_START_KEY HOSTED_PROGRAM_PATH
    HOSTED_PROGRAM_ARGUMENTS HOSTED_IMAGE_NAME)
foreach(name IN LISTS ZT_CONTRACT_NAMES)
    if("${ZT_${name}}" STREQUAL "")
        message(FATAL_ERROR "${contract_header} defines no ${name} as L\"...\"")
    endif()
endforeach()
if(NOT ZT_SERVICE_EXE_NAME MATCHES "^(.+)\\.exe$")
    message(FATAL_ERROR "${contract_header}: SERVICE_EXE_NAME does not end in .exe")
endif()
set(ZT_SERVICE_EXE_BASE "${CMAKE_MATCH_1}")
# The service gives the interpreter "start <path> <arguments>": a path in quotes would be the
# window's title, and cmd.exe's own characters would act. The stop ends processes by the path's
# file name.
if(ZT_HOSTED_PROGRAM_PATH MATCHES "[ \"&|<>^%]")
    message(FATAL_ERROR "${contract_header}: HOSTED_PROGRAM_PATH holds a space or one of \"&|<>^%")
endif()
string(REGEX MATCH "[^\\\\]*$" hosted_file "${ZT_HOSTED_PROGRAM_PATH}")
if(NOT hosted_file STREQUAL ZT_HOSTED_IMAGE_NAME)
    message(FATAL_ERROR "${contract_header}: HOSTED_PROGRAM_PATH's file is not HOSTED_IMAGE_NAME")
endif()

# Written only when it changes, as a configure_file would.
set(contract_file ${PROJECT_BINARY_DIR}/contract.txt)
set(written "")
if(EXISTS ${contract_file})
    file(READ ${contract_file} written)
endif()
if(NOT "${written}" STREQUAL "${contract_text}")
    file(WRITE ${contract_file} "${contract_text}")
endif()
