# Read by CPack for each generator of the Windows build.
if(CPACK_GENERATOR STREQUAL "NSIS")
    set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
    # A 64-bit installer: makensis's default stub is 32-bit.
    set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
endif()
