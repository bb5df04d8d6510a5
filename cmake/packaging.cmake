# Installation and the Debian package.
#
#   cmake --install build [--prefix /usr/local]     install from source
#   (cd build && cpack -G DEB)                       tovu-voice_<version>_<arch>.deb
#
# Layout, under the prefix (DESTDIR honoured as usual):
#   bin/tovu-voice
#   bin/tovu-voice-check-mic       the microphone check
#   bin/tovu-voice-get-model       the model installer, scripts/get-model.sh
#   share/man/man1/tovu-voice.1.gz, tovu-voice-check-mic.1.gz,
#                  tovu-voice-get-model.1.gz
#   share/doc/tovu-voice/copyright, changelog.gz
#   lib/tovu-voice/libvosk.so      the linked libvosk, found through the
#                                  binary's RUNPATH; not installed when a
#                                  Debian package provides it
# and, whatever the prefix (under DESTDIR when it is set), the sound cues in
# /etc/tovu-voice and links to them in /usr/share/extras/tovu, where the
# program looks for them.

include(GNUInstallDirs)

# The shared data directory is fixed in the program.
set(TOVU_DATA_DIR /usr/share/extras/tovu)
set(TOVU_CONFIG_DIR /etc/tovu-voice)
set(TOVU_PRIVATE_LIBDIR lib/tovu-voice)

# ---- The program and its libvosk ---------------------------------------------

# The linked libvosk is installed beside the program unless a Debian package
# provides that file: then the package depends on that package instead. Any
# other copy (the fetched one, one in /usr/local/lib, the one named by
# TOVU_VOSK_LIBRARY) is on no other machine, and dpkg-shlibdeps, which knows
# no package for it, would not say so.
get_filename_component(vosk_file ${VOSK_LIBRARY} REALPATH)
string(REGEX REPLACE "^/usr/" "/" vosk_unmerged "${vosk_file}")
set(vosk_package "")
foreach(path IN ITEMS "${vosk_file}" "${VOSK_LIBRARY}" "${vosk_unmerged}")
  execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owners ERROR_QUIET)
  # "libvosk0:amd64: /usr/lib/…", after any lines about diversions.
  if(owners MATCHES "(^|\n)([a-z0-9][a-z0-9+.-]*)(:[a-z0-9-]+)?: /")
    set(vosk_package ${CMAKE_MATCH_2})
    break()
  endif()
endforeach()
if(vosk_package)
  set(TOVU_BUNDLE_VOSK OFF)
  set(vosk_depends ", ${vosk_package}")
  message(STATUS "libvosk: from the Debian package ${vosk_package}, which the package depends on")
else()
  set(TOVU_BUNDLE_VOSK ON)
  set(vosk_depends "")
  message(STATUS "libvosk: ${vosk_file}, installed in ${TOVU_PRIVATE_LIBDIR}/ (no Debian "
                 "package provides it)")
endif()

install(TARGETS tovu-voice tovu-voice-check-mic RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TOVU_BUNDLE_VOSK)
  file(RELATIVE_PATH bin_to_lib /p/${CMAKE_INSTALL_BINDIR} /p/${TOVU_PRIVATE_LIBDIR})
  set_target_properties(tovu-voice PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  # The prebuilt library has no SONAME: the program asks for "libvosk.so".
  # The file itself is installed, never a link that names it on this machine.
  install(FILES ${vosk_file} DESTINATION ${TOVU_PRIVATE_LIBDIR} RENAME libvosk.so
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
else()
  # A packaged libvosk outside the linker's default directories stays
  # reachable through the directory it was linked from.
  set_target_properties(tovu-voice PROPERTIES INSTALL_RPATH_USE_LINK_PATH TRUE)
endif()
# A stripped install (CPack's) also drops the compilers' notes in .comment,
# as Debian's own packages do.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(file ${CMAKE_INSTALL_BINDIR}/tovu-voice ${CMAKE_INSTALL_BINDIR}/tovu-voice-check-mic
                 ${TOVU_PRIVATE_LIBDIR}/libvosk.so)
      set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\")
      if(EXISTS \"\${path}\")
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${path}\"
                        COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
  endif()
")

# ---- Manual pages and documentation ---------------------------------------------

# Compresses `input` into `output` as Debian wants it, at build time.
function(tovu_gzip input output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND sh -c "mkdir -p \"$(dirname \"$2\")\" && gzip -9n < \"$1\" > \"$2\"" sh ${input} ${output}
    DEPENDS ${input}
    COMMENT "Compressing ${output}"
    VERBATIM)
endfunction()

set(man_pages "")
foreach(page tovu-voice tovu-voice-check-mic tovu-voice-get-model)
  set(man_page ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  tovu_gzip(${CMAKE_SOURCE_DIR}/man/${page}.1 ${man_page})
  list(APPEND man_pages ${man_page})
endforeach()
add_custom_target(tovu_man ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- The model installer ----------------------------------------------------------

# scripts/get-model.sh as tovu-voice-get-model; at run time it needs curl
# (with ca-certificates for https) and python3, which the package depends on.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/get-model.sh DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME tovu-voice-get-model)
set(TOVU_GET_MODEL_DEPENDS "curl, ca-certificates, python3")

# ---- Copyright and changelog ------------------------------------------------------

set(TOVU_MAINTAINER "tovu developers <tovu-voice@tovu.org>"
    CACHE STRING "Maintainer of the Debian package, also named in its changelog")

# The changelog's newest entry names the version being built.
set(changelog_source ${CMAKE_SOURCE_DIR}/cmake/debian/changelog)
file(STRINGS ${changelog_source} changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^tovu-voice \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog begins with \"${changelog_top}\": "
                      "add an entry for version ${PROJECT_VERSION} on top")
endif()
configure_file(${changelog_source} ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
set(changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
tovu_gzip(${CMAKE_BINARY_DIR}/debian/changelog ${changelog})
add_custom_target(tovu_changelog ALL DEPENDS ${changelog})

# The copyright file covers libvosk too when it is installed.
set(copyright_parts ${CMAKE_SOURCE_DIR}/cmake/debian/copyright)
if(TOVU_BUNDLE_VOSK)
  list(APPEND copyright_parts ${CMAKE_SOURCE_DIR}/cmake/debian/copyright-vosk)
endif()
set(copyright_text "")
foreach(part ${copyright_parts})
  file(READ ${part} text)
  string(APPEND copyright_text "${text}")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${copyright_parts})
set(copyright ${CMAKE_BINARY_DIR}/doc/copyright)
file(CONFIGURE OUTPUT ${copyright} CONTENT "${copyright_text}" @ONLY)
install(FILES ${copyright} ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- Sound cues ----------------------------------------------------------------

option(TOVU_CUES "Generate and install the default sound cues (needs sox)" ON)
if(TOVU_CUES)
  find_program(SOX_EXECUTABLE sox)
  if(NOT SOX_EXECUTABLE)
    message(FATAL_ERROR "sox is needed to make the sound cues: run scripts/setup.sh, "
                        "or configure with -DTOVU_CUES=OFF")
  endif()
  set(cue_dir ${CMAKE_BINARY_DIR}/cues)
  set(cue_files ${cue_dir}/start.wav ${cue_dir}/stop.wav ${cue_dir}/error.wav)
  add_custom_command(
    OUTPUT ${cue_files}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/make_cues.sh ${cue_dir}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_cues.sh
    COMMENT "Generating the sound cues"
    VERBATIM)
  add_custom_target(tovu_cues ALL DEPENDS ${cue_files})

  # The links that the data directory holds in place of the cues.
  set(cue_link_dir ${CMAKE_BINARY_DIR}/cue-links)
  file(MAKE_DIRECTORY ${cue_link_dir})
  foreach(cue start.wav stop.wav error.wav)
    file(CREATE_LINK ${TOVU_CONFIG_DIR}/${cue} ${cue_link_dir}/${cue} SYMBOLIC)
  endforeach()
endif()

# ---- Cues and status file on the system ----------------------------------------------

install(CODE "
  set(tovu_data_dir \"${TOVU_DATA_DIR}\")
  set(tovu_config_dir \"${TOVU_CONFIG_DIR}\")
  set(tovu_cues ${TOVU_CUES})
  set(tovu_cue_dir \"${cue_dir}\")
  set(tovu_cue_link_dir \"${cue_link_dir}\")
  set(tovu_status_script \"${CMAKE_SOURCE_DIR}/cmake/status_file.sh\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/install_feedback.cmake\")
")

# ---- The install manifest ----------------------------------------------------------

# Every install, CPack's included, ends by writing install_manifest.txt in the
# build tree. After `sudo cmake --install build` that file belongs to root,
# and a later `cpack` as the user who owns the build tree could not replace
# it: remove it first, which the build tree's owner may always do.
install(CODE "
  if(CMAKE_INSTALL_COMPONENT)
    file(REMOVE \"${CMAKE_BINARY_DIR}/install_manifest_\${CMAKE_INSTALL_COMPONENT}.txt\")
  else()
    file(REMOVE \"${CMAKE_BINARY_DIR}/install_manifest.txt\")
  endif()
")

# ---- Everything to install ------------------------------------------------------

# What `cmake --install` and CPack take from the build tree; scripts/run.sh
# builds it. CPack packages what is built, as `cmake --install` installs it,
# instead of building every target first (benchmarks and tests included).
add_custom_target(tovu_installable)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_dependencies(tovu_installable tovu-voice tovu-voice-check-mic tovu_man tovu_changelog)
if(TARGET tovu_cues)
  add_dependencies(tovu_installable tovu_cues)
endif()

# ---- Debian package --------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovu-voice)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice front end of the tovu desktop assistant")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "tovu-voice listens on the default ALSA microphone for one spoken request,\n"
    "transcribes it offline with the Vosk speech recognizer, removes a leading\n"
    "wake phrase such as 'hey tovu', saves the result as JSON and starts the\n"
    "assistant's tovu-processor with it. Without a Vosk model it only records\n"
    "ten seconds of audio, to check the microphone. tovu-voice-check-mic shows\n"
    "the microphone's level, says whether tovu-voice hears a request and ends it\n"
    "by silence, and sets the sound server's input volume when it does not.")
# Everything goes below /usr; the cues' absolute destination needs the
# staging to be done through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVU_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libc, libstdc++, libgcc, libasound2 and libsystemd0 (sd-bus, for the
# desktop notifications) come from dpkg-shlibdeps; the commands the program
# runs are listed by hand: arecord and aplay, and paplay (preferred for the
# cues when a sound server runs); and what the model installer needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TOVU_PRIVATE_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "alsa-utils${vosk_depends}, ${TOVU_GET_MODEL_DEPENDS}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio-utils")
# xz, as Debian's own packages: 3 MB instead of 7 (libvosk is most of it).
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_THREADS 0)
# The maintainer scripts: postinst closes a status file that an earlier
# version made writable by every user, postrm takes the file on a purge. They replace CPack's own, which would run ldconfig for libvosk,
# although the library's private directory is none of ldconfig's business.
file(READ ${CMAKE_SOURCE_DIR}/cmake/status_file.sh status_file_function)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/cmake/status_file.sh)
get_filename_component(data_parent_dir ${TOVU_DATA_DIR} DIRECTORY)
set(control_files "")
foreach(script postinst postrm)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/${script}.in
                 ${CMAKE_BINARY_DIR}/debian/${script} @ONLY)
  list(APPEND control_files ${CMAKE_BINARY_DIR}/debian/${script})
endforeach()
if(TOVU_CUES)
  set(conffiles ${CMAKE_BINARY_DIR}/debian/conffiles)
  file(WRITE ${conffiles}
       "${TOVU_CONFIG_DIR}/start.wav\n${TOVU_CONFIG_DIR}/stop.wav\n${TOVU_CONFIG_DIR}/error.wav\n")
  list(APPEND control_files ${conffiles})
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control_files})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# ---- The install test ----------------------------------------------------------

if(TARGET install_test)
  target_compile_definitions(install_test PRIVATE
      TOVU_BUILD_DIR="${CMAKE_BINARY_DIR}"
      TOVU_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      TOVU_LINKED_VOSK="${VOSK_LIBRARY}"
      TOVU_CMAKE_COMMAND="${CMAKE_COMMAND}"
      TOVU_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
      TOVU_BUNDLES_VOSK=$<BOOL:${TOVU_BUNDLE_VOSK}>
      TOVU_HAS_CUES=$<BOOL:${TOVU_CUES}>)
  add_dependencies(install_test tovu_man tovu_changelog)
  if(TARGET tovu_cues)
    add_dependencies(install_test tovu_cues)
  endif()
endif()

# ---- The newcomer's test: set-up and the install commands after run.sh ---------

if(TARGET newcomer_test)
  # TOVU_SANITIZE is a list of sanitizers, such as "address,undefined".
  set(sanitized 0)
  if(TOVU_SANITIZE)
    set(sanitized 1)
  endif()
  target_compile_definitions(newcomer_test PRIVATE
      TOVU_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      TOVU_LINKED_VOSK="${VOSK_LIBRARY}"
      TOVU_SANITIZED=${sanitized})
endif()
