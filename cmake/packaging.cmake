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
set(CPACK_PACKAGE_NAME OrveldenZentorvikTool)
set(CPACK_PACKAGE_VENDOR Orvelden)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win32")

find_program(WIXL_EXECUTABLE wixl)
find_program(MSIBUILD_EXECUTABLE msibuild)
if(WIXL_EXECUTABLE AND MSIBUILD_EXECUTABLE)
    set(CPACK_ZT_WIXL "${WIXL_EXECUTABLE}")
    set(CPACK_ZT_MSIBUILD "${MSIBUILD_EXECUTABLE}")
    set(CPACK_ZT_WXS "${CMAKE_CURRENT_SOURCE_DIR}/packaging/OrveldenZentorvikTool.wxs")
    set(CPACK_ZT_MSI "${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-x86.msi")
    set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/build-msi.cmake")
else()
    message(STATUS "wixl or msibuild (msitools) not found: `package` builds the zip only")
endif()

include(CPack)
