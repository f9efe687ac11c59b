# Read by cpack before it builds the Debian package (CPACK_PROJECT_CONFIG_FILE): the apt
# source of our own package repository, from a public key given at package time.
#
#   SVD_APT_PUBLIC_KEY  OpenPGP public key file of the repository (armored or binary),
#                       as `tools/release/apt-repo public-key` writes it
#   SVD_APT_URL         the repository's URL (where `apt-repo build` output is served)
#   SVD_APT_SUITE       its suite (stable)
#
# The environment wins over the CMake cache variables of the same names. With a key the
# package carries /usr/share/keyrings/sorvanta-desktop-archive-keyring.gpg and
# /etc/apt/sources.list.d/sorvanta-desktop.sources (a conffile: an administrator who
# removes or edits it keeps that), and the system's software updates bring new versions.
# Without one it carries neither, and cpack's output says so.
#
# lintian calls any file in sources.list.d an error (package-installs-apt-sources): the
# package overrides that tag, as third-party packages that bring their own repository do.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
foreach(name SVD_APT_PUBLIC_KEY SVD_APT_URL SVD_APT_SUITE)
  if(DEFINED ENV{${name}})
    set(${name} "$ENV{${name}}")
  else()
    set(${name} "${CPACK_${name}}")
  endif()
endforeach()
# Beside the package, not in the build folder: two cpack runs may share one build.
set(svd_apt ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/apt-source)
file(REMOVE_RECURSE ${svd_apt})
unset(CPACK_SVD_APT_STAGE)
if(SVD_APT_PUBLIC_KEY STREQUAL "")
  message(STATUS "sorvanta-desktop: no repository key (SVD_APT_PUBLIC_KEY): "
                 "the package carries no apt source and no keyring")
  return()
endif()
if(NOT SVD_APT_URL MATCHES "^https?://[^ \t\r\n]+$")
  message(FATAL_ERROR "SVD_APT_URL must be the repository's http(s) URL, not '${SVD_APT_URL}'")
endif()
if(NOT SVD_APT_SUITE MATCHES "^[A-Za-z0-9._-]+$")
  message(FATAL_ERROR "SVD_APT_SUITE '${SVD_APT_SUITE}' is not a suite name")
endif()
find_program(SVD_GPG gpg)
if(NOT SVD_GPG)
  message(FATAL_ERROR "a repository key was given but gpg is not installed (apt-get install gnupg)")
endif()

set(root ${svd_apt}/root)
set(keyring usr/share/keyrings/sorvanta-desktop-archive-keyring.gpg)
set(sources etc/apt/sources.list.d/sorvanta-desktop.sources)
file(MAKE_DIRECTORY ${svd_apt}/gnupg ${root}/usr/share/keyrings ${root}/etc/apt/sources.list.d
  ${root}/usr/share/lintian/overrides)
file(CHMOD ${svd_apt}/gnupg DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# --no-autostart: public keys need no agent, and none may outlive cpack.
set(gpg ${SVD_GPG} --batch --no-tty --no-autostart --homedir ${svd_apt}/gnupg)
# A secret key never goes into a package, whatever the file was meant to hold.
execute_process(COMMAND ${gpg} --with-colons --show-keys ${SVD_APT_PUBLIC_KEY}
  OUTPUT_VARIABLE listing ERROR_VARIABLE why RESULT_VARIABLE rc)
if(listing MATCHES "(^|\n)(sec|ssb):")
  message(FATAL_ERROR "SVD_APT_PUBLIC_KEY ${SVD_APT_PUBLIC_KEY} holds a secret key; give its public key "
                      "(tools/release/apt-repo public-key)")
endif()
if(NOT rc EQUAL 0 OR NOT listing MATCHES "(^|\n)pub:")
  message(FATAL_ERROR "SVD_APT_PUBLIC_KEY ${SVD_APT_PUBLIC_KEY} holds no OpenPGP public key: ${why}")
endif()
string(REGEX MATCH "\nfpr:+([0-9A-F]+):" fpr "${listing}")
set(fpr "${CMAKE_MATCH_1}")
# Imported and exported again: apt takes a binary keyring of public keys, whichever
# form the file had.
execute_process(COMMAND ${gpg} --quiet --import ${SVD_APT_PUBLIC_KEY} RESULT_VARIABLE rc ERROR_VARIABLE why)
if(rc EQUAL 0)
  execute_process(COMMAND ${gpg} --export --output ${root}/${keyring} RESULT_VARIABLE rc ERROR_VARIABLE why)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot make the repository keyring from ${SVD_APT_PUBLIC_KEY}: ${why}")
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
file(WRITE ${root}/${sources} "\
# The package repository of Sorvanta Desktop, added by its package: new versions
# come with the system's software updates. Remove this file to stop that.
Types: deb
URIs: ${SVD_APT_URL}
Suites: ${SVD_APT_SUITE}
Components: main
Architectures: ${arch}
Signed-By: /${keyring}
")
file(WRITE ${root}/usr/share/lintian/overrides/sorvanta-desktop "\
# Our own update source, a conffile the administrator may remove (see the sources file).
sorvanta-desktop: package-installs-apt-sources [${sources}]
")
file(WRITE ${svd_apt}/conffiles "/${sources}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${svd_apt}/conffiles)
set(CPACK_SVD_APT_STAGE ${root})
message(STATUS "sorvanta-desktop: apt source ${SVD_APT_URL} ${SVD_APT_SUITE} main, "
               "signed by ${fpr} (${SVD_APT_PUBLIC_KEY})")
