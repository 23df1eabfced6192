# `--target package`: the zip for administrators and, beside it, the Windows Installer package.
install(TARGETS OrveldenZentorvikTool RUNTIME DESTINATION .)
if(TARGET dbwin-monitor)
    install(TARGETS dbwin-monitor RUNTIME DESTINATION .)
endif()
install(FILES packaging/README-admin.txt DESTINATION .)
# After the programs are staged and before they are summed, zipped or put in the MSI.
include(cmake/signing.cmake)
# Last rule, so it sums every file above.
install(SCRIPT cmake/write-sha256sums.cmake)

set(CPACK_GENERATOR ZIP)
# Values as they are (the remembered START's key has backslashes), escaped in CPackConfig.cmake.
set(CPACK_VERBATIM_VARIABLES ON)
# The packages are named after the executable (OrveldenZentorvikTool-<version>-win32.zip).
set(CPACK_PACKAGE_NAME ${ZT_SERVICE_EXE_BASE})
set(CPACK_PACKAGE_VENDOR ${ZT_PRODUCT_MANUFACTURER})
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win32")

find_program(WIXL_EXECUTABLE wixl)
find_program(MSIBUILD_EXECUTABLE msibuild)
if(WIXL_EXECUTABLE AND MSIBUILD_EXECUTABLE)
    set(CPACK_ZT_WIXL "${WIXL_EXECUTABLE}")
    set(CPACK_ZT_MSIBUILD "${MSIBUILD_EXECUTABLE}")
    set(CPACK_ZT_WXS "${CMAKE_CURRENT_SOURCE_DIR}/packaging/OrveldenZentorvikTool.wxs")
    set(CPACK_ZT_MSI "${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-x86.msi")
    # contract.h's names, for the .wxs (CPACK_ZT_SERVICE_NAME, ...).
    foreach(name IN LISTS ZT_CONTRACT_NAMES)
        set(CPACK_ZT_${name} "${ZT_${name}}")
    endforeach()
    set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/build-msi.cmake")
else()
    message(STATUS "wixl or msibuild (msitools) not found: `package` builds the zip only")
endif()

include(CPack)
