# Where an install puts things, and what is packaged from it. Linux: the
# usual prefix layout, and a Debian package through CPack. Windows: one
# folder with every DLL and plugin the programs load beside them, which
# scripts/package zips (with the portable marker) and wraps in an installer
# (without it).
include_guard(GLOBAL)
include(GNUInstallDirs)

if(WIN32)
    set(KVR_INSTALL_BINDIR .)
else()
    set(KVR_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
endif()

# kvrversion.h, with KVR_VERSION from project(): the one place the version is
# set, for every program that shows it; and KVR_APP_ID, for the window to
# name its desktop entry. Rewritten only when it changes, so
# a new configure rebuilds nothing.
function(kvr_add_version_header target)
    set(dir ${PROJECT_BINARY_DIR}/generated)
    file(WRITE ${dir}/kvrversion.h.new
        "#pragma once\n\n#define KVR_VERSION \"${PROJECT_VERSION}\"\n#define KVR_APP_ID \"${KVR_APPSTREAM_ID}\"\n")
    configure_file(${dir}/kvrversion.h.new ${dir}/kvrversion.h COPYONLY)
    target_include_directories(${target} PUBLIC ${dir})
endfunction()

set(KVR_PACKAGE_MAINTAINER
    "KVR file transfer maintainers <maintainers@users.noreply.c-seed-2d95da7c.example>"
    CACHE STRING "Maintainer named in the Debian package")
# Software centres and desktops know the tool by this name: the AppStream
# ID, the desktop entry's file name and the icon's name. It should never
# change once released; a packager who ships under a domain of their own
# sets it at configure time.
set(KVR_APPSTREAM_ID io.github.kvr_file_transfer.kvr_file_transfer
    CACHE STRING "Reverse-domain ID of the desktop entry, icon and AppStream metadata")

# The date of this version's entry in CHANGELOG.md, into VARIABLE. The Debian
# changelog must name the same version: both are read at every configure,
# so neither can fall behind project().
function(kvr_release_date variable)
    file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md entry
        REGEX "^## \\[${PROJECT_VERSION}\\] - [0-9-]+$")
    string(REGEX REPLACE ".* - " "" date "${entry}")
    file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog debian LIMIT_COUNT 1)
    if(NOT date MATCHES "^[0-9]+-[0-9]+-[0-9]+$")
        message(FATAL_ERROR "CHANGELOG.md has no entry \"## [${PROJECT_VERSION}] - DATE\"")
    elseif(NOT debian MATCHES "^kvr-file-transfer \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
    endif()
    set(${variable} ${date} PARENT_SCOPE)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/changelog)
endfunction()

# The Qt and MinGW runtime the two programs load, so that the folder runs
# on a PC that has neither. qt.conf keeps Qt from looking for plugins where
# this Qt was built.
function(kvr_install_windows_runtime)
    find_package(Qt5 REQUIRED COMPONENTS Core Gui Widgets Network)
    foreach(module Core Gui Widgets Network)
        install(FILES $<TARGET_FILE:Qt5::${module}> DESTINATION .)
    endforeach()
    install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
    install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
        endif()
        install(FILES ${path} DESTINATION .)
        # Debian ships them with their symbols: libstdc++ alone is 23 MB.
        install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dll}\" COMMAND_ERROR_IS_FATAL ANY)")
    endforeach()

    set(source ${PROJECT_SOURCE_DIR}/packaging)
    # Notepad on older Windows wants CRLF; the files themselves start with a BOM.
    configure_file(${source}/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${source}/qt.conf DESTINATION .)
    # The marker that keeps settings beside the programs: the zip's alone,
    # since an installed copy keeps them per user.
    configure_file(${source}/portable.txt portable.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portable.txt DESTINATION . COMPONENT portable)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
    get_filename_component(qt_prefix "${Qt5_DIR}/../../.." ABSOLUTE)
    install(FILES ${qt_prefix}/licenses/LICENSE.LGPL3 ${qt_prefix}/licenses/LICENSE.GPL3
        DESTINATION licenses/Qt)
    # The runtime DLLs' notices, from the Debian packages they come from.
    install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright
        DESTINATION licenses/MinGW-w64 RENAME gcc-runtime.txt)
    install(FILES /usr/share/doc/mingw-w64-common/copyright
        DESTINATION licenses/MinGW-w64 RENAME winpthreads.txt)
endfunction()

# Installs FILE gzipped as Debian wants it (no name, no time stamp, best
# compression) as DESTINATION/NAME.gz.
function(kvr_install_gzipped file name destination)
    set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name}.gz)
    add_custom_command(OUTPUT ${gzipped}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
        COMMAND gzip -9 -n -c ${file} > ${gzipped}
        DEPENDS ${file} VERBATIM)
    string(MAKE_C_IDENTIFIER ${name} target)
    add_custom_target(kvr-gzip-${target} ALL DEPENDS ${gzipped})
    install(FILES ${gzipped} DESTINATION ${destination})
endfunction()

# packaging/NAME.in with the version of project() in its title line.
function(kvr_install_man_page name)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${name}.in ${page} @ONLY)
    kvr_install_gzipped(${page} ${name} ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# What software centres show, from packaging/kvr-file-transfer.metainfo.xml.in.
function(kvr_install_metainfo)
    kvr_release_date(KVR_RELEASE_DATE)
    set(metainfo ${CMAKE_CURRENT_BINARY_DIR}/packaging/${KVR_APPSTREAM_ID}.metainfo.xml)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/kvr-file-transfer.metainfo.xml.in
        ${metainfo} @ONLY)
    install(FILES ${metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endfunction()

# The receiver service's template unit, with the path kvr-transfer has in
# the package; systemd-analyze verify checks it in the tests.
function(kvr_install_receiver_unit)
    set(KVR_UNIT_BINDIR /usr/${CMAKE_INSTALL_BINDIR})
    set(unit ${PROJECT_BINARY_DIR}/packaging/kvr-transfer-receiver@.service)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/kvr-transfer-receiver@.service.in ${unit}
        @ONLY)
    install(FILES ${unit} DESTINATION lib/systemd/system)
endfunction()

function(kvr_debian_package)
    set(doc ${CMAKE_INSTALL_DATADIR}/doc/kvr-file-transfer)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${doc})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/receiver.ini DESTINATION ${doc}/examples)
    kvr_install_receiver_unit()
    kvr_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog changelog ${doc})
    kvr_install_man_page(kvr-file-transfer.1)
    kvr_install_man_page(kvr-controller-sim.1)
    kvr_install_man_page(kvr-transfer.1)
    kvr_install_metainfo()
    # A stripped install drops the compiler's notes too, as Debian's own
    # packages do.
    foreach(program kvr-file-transfer kvr-controller-sim kvr-transfer)
        install(CODE "if(CMAKE_INSTALL_DO_STRIP)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endif()")
    endforeach()

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME kvr-file-transfer)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send files to and receive files from KVR controllers")
    set(CPACK_PACKAGE_DESCRIPTION [[
A desktop tool for engineers who push files to KVR controllers and pull
files back. It keeps one TCP connection to the controller (port 8080, the
PC as the client), moves single files in both directions, checks each file
against its MD5 digest, and shows the connection state, the progress of
every transfer and a log of what happened.

The package also holds kvr-transfer, the same sending and receiving on the
command line for scripts and production lines, and kvr-controller-sim, a
command-line stand-in for the controller, to try the tool without one.]])
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KVR_PACKAGE_MAINTAINER}")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    include(CPack)
endfunction()

# Called once every target with an install rule exists.
function(kvr_packaging)
    if(WIN32)
        kvr_install_windows_runtime()
    else()
        kvr_debian_package()
    endif()
endfunction()
