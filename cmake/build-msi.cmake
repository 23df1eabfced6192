# CPack post-build script: the Windows Installer package, from the very executable put in the zip.
function(run)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        list(GET ARGN 0 program)
        message(FATAL_ERROR "${program} failed (${result})")
    endif()
endfunction()

run("${CPACK_ZT_WIXL}" --arch x86 -D "Version=${CPACK_PACKAGE_VERSION}"
    -D ServiceExe=OrveldenZentorvikTool.exe -o "${CPACK_ZT_MSI}" "${CPACK_ZT_WXS}")

# Transitive (64): a repair or reinstall evaluates the conditions afresh.
foreach(row IN ITEMS "ServiceDemand|START<>\"auto\"" "ServiceAuto|START=\"auto\"")
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 component)
    list(GET row 1 condition)
    run("${CPACK_ZT_MSIBUILD}" "${CPACK_ZT_MSI}" -q
        "UPDATE `Component` SET `Condition`='${condition}', `Attributes`=64 WHERE `Component`='${component}'")
endforeach()
# START must reach the elevated part of an installation started without elevation.
run("${CPACK_ZT_MSIBUILD}" "${CPACK_ZT_MSI}" -q
    "UPDATE `Property` SET `Value`='START\;WIX_DOWNGRADE_DETECTED\;WIX_UPGRADE_DETECTED' WHERE `Property`='SecureCustomProperties'")
message(STATUS "- package: ${CPACK_ZT_MSI} generated.")
