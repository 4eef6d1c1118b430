# The window's languages beside its Chinese source texts: each .ts under
# i18n/ is compiled to a .qm at build time and embedded in kvrcore, in the
# resource "translations"; the sources are scanned into the .ts only by the
# target `update-translations`, never by a build.
#
# lrelease and lupdate run on the build machine, also for the Windows build,
# whose Qt brings no tools of its own.
find_package(Qt5LinguistTools QUIET)
if(NOT Qt5LinguistTools_FOUND)
    find_package(Qt5LinguistTools REQUIRED NO_CMAKE_FIND_ROOT_PATH
        PATHS /usr/lib/x86_64-linux-gnu/cmake /usr/lib/cmake)
endif()

set(KVR_TRANSLATIONS ${PROJECT_SOURCE_DIR}/i18n/kvr-file-transfer_en.ts)
# Where the texts the user sees are written.
set(KVR_TRANSLATED_SOURCES app client)
set(KVR_LUPDATE_OPTIONS -source-language zh_CN -target-language en -locations none -no-obsolete
    -extensions cpp,h,ui)

set_source_files_properties(${KVR_TRANSLATIONS} PROPERTIES
    OUTPUT_LOCATION ${PROJECT_BINARY_DIR}/i18n)
qt5_add_translation(kvr_qm_files ${KVR_TRANSLATIONS})
set(entries "")
foreach(qm ${kvr_qm_files})
    get_filename_component(name ${qm} NAME)
    string(APPEND entries "        <file>${name}</file>\n")
endforeach()
set(kvr_translations_qrc ${PROJECT_BINARY_DIR}/i18n/translations.qrc)
file(WRITE ${kvr_translations_qrc}.in
    "<RCC>\n    <qresource prefix=\"/i18n\">\n${entries}    </qresource>\n</RCC>\n")
configure_file(${kvr_translations_qrc}.in ${kvr_translations_qrc} COPYONLY)
# Sources of kvrcore: the resource, registered by Q_INIT_RESOURCE(translations).
qt5_add_resources(KVR_TRANSLATION_SOURCES ${kvr_translations_qrc})

add_custom_target(update-translations
    COMMAND Qt5::lupdate ${KVR_LUPDATE_OPTIONS} ${KVR_TRANSLATED_SOURCES} -ts ${KVR_TRANSLATIONS}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Scanning the sources into ${KVR_TRANSLATIONS}"
    VERBATIM)

# No text left out of a translation or unfinished in it: the sources are
# scanned into a copy, which lrelease must find complete.
function(kvr_add_translations_test)
    if(CMAKE_CROSSCOMPILING)
        return()
    endif()
    add_test(NAME translations
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-translations
            $<TARGET_FILE:Qt5::lupdate> $<TARGET_FILE:Qt5::lrelease> ${KVR_TRANSLATIONS}
            ${KVR_LUPDATE_OPTIONS} -- ${KVR_TRANSLATED_SOURCES}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
endfunction()
