# CPack post-build script: the Windows Installer package, from the very executable put in the zip,
# then signed when a certificate is given (cmake/signing.cmake).
function(run)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        list(GET ARGN 0 program)
        message(FATAL_ERROR "${program} failed (${result})")
    endif()
endfunction()

function(query sql)
    run("${CPACK_ZT_MSIBUILD}" "${CPACK_ZT_MSI}" -q "${sql}")
endfunction()

# The names, from service/contract.h (cmake/contract.cmake, cmake/packaging.cmake).
run("${CPACK_ZT_WIXL}" --arch x86 -D "Version=${CPACK_PACKAGE_VERSION}"
    -D "ServiceExe=${CPACK_ZT_SERVICE_EXE_NAME}" -D "ServiceExeName=${CPACK_ZT_SERVICE_EXE_NAME}"
    -D "ServiceName=${CPACK_ZT_SERVICE_NAME}" -D "ServiceDisplayName=${CPACK_ZT_SERVICE_DISPLAY_NAME}"
    -D "ProductName=${CPACK_ZT_PRODUCT_NAME}" -D "Manufacturer=${CPACK_ZT_PRODUCT_MANUFACTURER}"
    -D "InstallFolder=${CPACK_ZT_PRODUCT_INSTALL_FOLDER}" -D "StartKey=${CPACK_ZT_PRODUCT_START_KEY}"
    -D "HostedProgram=${CPACK_ZT_HOSTED_PROGRAM_PATH}"
    -o "${CPACK_ZT_MSI}" "${CPACK_ZT_WXS}")

# ~ compares without letter case, as the launch condition does. The components are not
# transitive: their conditions are evaluated when they are first installed (an installation, or
# an upgrade, which is one), never in a repair, where a changed START would swap them.
foreach(row IN ITEMS "ServiceDemand|START~<>\"auto\"" "ServiceAuto|START~=\"auto\"")
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 component)
    list(GET row 1 condition)
    query("UPDATE `Component` SET `Condition`='${condition}' WHERE `Component`='${component}'")
endforeach()

file(READ "${CPACK_ZT_WXS}" wxs)

# In a repair, START follows the start type installed: AppSearch sets InstalledAuto or
# InstalledDemand to the folder of the service component installed (located by the component
# code), and the .wxs's custom actions read them. Private (a lowercase letter): a command line
# cannot set them.
query("CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, `Type` SHORT PRIMARY KEY `Signature_`)")
foreach(row IN ITEMS "ServiceAuto|InstalledAuto" "ServiceDemand|InstalledDemand")
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 component)
    list(GET row 1 property)
    string(REGEX MATCH "Component Id=\"${component}\" Guid=\"([^\"]+)\"" _ "${wxs}")
    if(NOT CMAKE_MATCH_1)
        message(FATAL_ERROR "no component ${component} in ${CPACK_ZT_WXS}")
    endif()
    # Type 1: the key path is a file; the property gets its folder.
    query("INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('Installed${component}', '{${CMAKE_MATCH_1}}', 1)")
    query("INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('${property}', 'Installed${component}')")
endforeach()

# What the execute sequence reads of the searches and the Upgrade rows must reach it from a user
# interface sequence, which alone runs AppSearch and FindRelatedProducts then: run without
# elevation, it passes the elevated execute sequence only the public properties listed here.
query("UPDATE `Property` SET `Value`='MARKEDFORDELETION\;REGISTEREDSERVICE\;START\;WIX_DOWNGRADE_DETECTED\;WIX_UPGRADE_DETECTED' WHERE `Property`='SecureCustomProperties'")

# The refusal of a service marked for deletion, which wixl writes as setting a property, is an
# error action (type 19): it shows its text and ends the installation.
query("UPDATE `CustomAction` SET `Type`=19, `Source`='' WHERE `Action`='RefuseMarkedForDeletion'")

# Vital (0x8000): when the service cannot be created, the installation fails and rolls back.
query("UPDATE `ServiceInstall` SET `ErrorControl`=32769")

# A rebuild at the same version gets a new product code; it must replace the installed one, not
# install beside it, so the upper bound of the versions it replaces is inclusive (0x200). The
# attributes are part of the row's key, so the row is replaced.
string(REGEX MATCH "UpgradeCode=\"([^\"]+)\"" _ "${wxs}")
if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "no UpgradeCode in ${CPACK_ZT_WXS}")
endif()
set(upgrade_code "{${CMAKE_MATCH_1}}")
query("DELETE FROM `Upgrade` WHERE `ActionProperty`='WIX_UPGRADE_DETECTED'")
query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${upgrade_code}', '${CPACK_PACKAGE_VERSION}', 513, 'WIX_UPGRADE_DETECTED')")

include("${CMAKE_CURRENT_LIST_DIR}/sign-file.cmake")
foreach(setting IN ITEMS PKCS12 PASSWORD_FILE TIMESTAMP_URL WORK_DIR DESCRIPTION)
    set(ZT_SIGN_${setting} "${CPACK_ZT_SIGN_${setting}}")
endforeach()
zt_sign_file("${CPACK_ZT_MSI}")
message(STATUS "- package: ${CPACK_ZT_MSI} generated.")
