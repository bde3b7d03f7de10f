# Two Debian packages from the install components: "lyrebox" (cli: the command, its man
# page and systemd unit) and "lyrebox-tray" (tray: the desktop shell, its man page,
# desktop entry and icon). Library dependencies come from dpkg-shlibdeps (dpkg-dev);
# fuse3 is added for fusermount3 and mount.fuse3.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lyrebox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lyrebox developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TARGET lyrebox-tray)
  list(APPEND CPACK_COMPONENTS_ALL tray)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME lyrebox)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS fuse3)
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS "samba, lyrebox-tray")
set(CPACK_DEBIAN_CLI_DESCRIPTION "FLAC files shown as WAV files in a FUSE volume
The lyrebox command mounts a folder of FLAC files as a second volume in which every
song.flac appears as song.wav, decoded on demand, bit-exact, with its RIFF chunks.
WAV files written into the volume are encoded to FLAC when they are closed. It mounts
from the command line, from /etc/fstab (type fuse.lyrebox) or by the lyrebox@ systemd
unit.")

set(CPACK_DEBIAN_TRAY_PACKAGE_NAME lyrebox-tray)
set(CPACK_DEBIAN_TRAY_PACKAGE_DEPENDS fuse3)
set(CPACK_DEBIAN_TRAY_PACKAGE_RECOMMENDS "lyrebox, xdg-utils")
set(CPACK_DEBIAN_TRAY_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_TRAY_DESCRIPTION "Lyrebox in the desktop's tray
lyrebox-tray asks for a folder of FLAC files and mounts it as a volume in which every
FLAC file appears as a WAV file. Its menu shows the encodings in progress and can
start it at login; desktop notifications tell of WAV files that could not be encoded.")

include(CPack)
