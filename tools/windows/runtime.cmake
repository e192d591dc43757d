# What zirave.exe loads at run time on Windows, which the install rules put beside it: the Qt
# libraries it links, the plugins Qt loads by name, libcurl and the compiler's runtime. The tests
# under Wine run on these files too, unpacked from the ZIP.

set(ZIRAVE_QT_LIBRARIES Core Gui Widgets Sql SerialPort)
# Window system, the register's SQLite driver, the native look. The images are PNG, which Qt
# reads itself, and the window icon comes from the .exe: no image format plugin is loaded.
set(ZIRAVE_QT_PLUGINS QWindowsIntegrationPlugin QSQLiteDriverPlugin QWindowsVistaStylePlugin)

function(zirave_plugin_file plugin result)
    get_target_property(file Qt5::${plugin} IMPORTED_LOCATION_RELEASE)
    if(NOT file)
        get_target_property(file Qt5::${plugin} IMPORTED_LOCATION)
    endif()
    set(${result} ${file} PARENT_SCOPE)
endfunction()

# libcurl's DLL sits in bin/ beside the include/ that find_package(CURL) found.
function(zirave_curl_dll result)
    find_package(CURL REQUIRED)
    list(GET CURL_INCLUDE_DIRS 0 include_dir)
    find_file(ZIRAVE_CURL_DLL NAMES libcurl-4.dll libcurl.dll
        HINTS ${include_dir}/../bin NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(${result} ${ZIRAVE_CURL_DLL} PARENT_SCOPE)
endfunction()

# The MinGW runtime: where the compiler finds each DLL.
function(zirave_compiler_runtime result)
    set(files)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${file}" OR NOT EXISTS "${file}")
            message(FATAL_ERROR "The compiler does not know where ${dll} is")
        endif()
        list(APPEND files ${file})
    endforeach()
    set(${result} ${files} PARENT_SCOPE)
endfunction()

function(zirave_install_windows_runtime destination)
    set(libraries)
    foreach(library ${ZIRAVE_QT_LIBRARIES})
        list(APPEND libraries $<TARGET_FILE:Qt5::${library}>)
    endforeach()
    zirave_curl_dll(curl)
    set(compiler_runtime)
    if(MSVC)
        set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION ${destination})
        include(InstallRequiredSystemLibraries)
    else()
        zirave_compiler_runtime(compiler_runtime)
    endif()
    install(FILES ${libraries} ${curl} ${compiler_runtime} DESTINATION ${destination})

    foreach(plugin ${ZIRAVE_QT_PLUGINS})
        zirave_plugin_file(${plugin} file)
        get_filename_component(folder ${file} DIRECTORY)
        get_filename_component(folder ${folder} NAME)
        install(FILES ${file} DESTINATION ${destination}/${folder})
    endforeach()

    if(MSVC)
        return()
    endif()
    # The compiler's runtime comes with its symbols (libstdc++ alone is 23 MB).
    install(CODE "
        file(GLOB_RECURSE dlls \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/*.dll\")
        foreach(dll \${dlls})
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${dll}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()")
endfunction()
