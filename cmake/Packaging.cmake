# The Debian package (make package): the install tree under /usr, its
# library dependencies found by dpkg-shlibdeps, plus what the program loads
# at run time that no library link shows.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rondo)
set(CPACK_PACKAGE_VENDOR "Quillon Software")
set(CPACK_PACKAGE_CONTACT "Quillon Software <rondo@quillon.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drum-loop editor for MIDI composers")
set(CPACK_PACKAGE_DESCRIPTION
  "Rondo edits one drum loop at a time: up to twelve voices of sixteen
sixteenth-note steps. The loop plays round and round without a gap through
the built-in General MIDI synthesizer or any MIDI output port at 40 to 200
BPM. Loops are saved as .rlf files and exported as Standard MIDI Files for a
sequencer; the command line exports and renders to WAV without a display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quillon.example/rondo/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window needs a platform plugin, the icons the SVG plugin, the built-in
# synthesizer a General MIDI sound font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, fluid-soundfont-gm | sf2-soundfont-gm")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
