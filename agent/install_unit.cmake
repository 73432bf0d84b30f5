# Runs at install time, so that the systemd unit names the programs and the
# settings where this install puts them: CMAKE_INSTALL_PREFIX here is the
# prefix given to `cmake --install --prefix P`, or the configured one.
# Set by the install(CODE) before it: unit_template, unit_bindir,
# unit_sysconfdir and unit_dir (as configured, relative to the prefix or
# absolute).
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${unit_bindir}")
  set(CMAKE_INSTALL_FULL_BINDIR "${unit_bindir}")
else()
  set(CMAKE_INSTALL_FULL_BINDIR "${prefix}/${unit_bindir}")
endif()
# The settings' folder, by the rule GNUInstallDirs follows: /etc for the
# system's own prefix, /etc/opt/... for a package under /opt, else the
# prefix's etc.
if(IS_ABSOLUTE "${unit_sysconfdir}")
  set(CMAKE_INSTALL_FULL_SYSCONFDIR "${unit_sysconfdir}")
elseif(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(CMAKE_INSTALL_FULL_SYSCONFDIR "/${unit_sysconfdir}")
elseif(prefix MATCHES "^/opt/")
  set(CMAKE_INSTALL_FULL_SYSCONFDIR "/etc${prefix}")
else()
  set(CMAKE_INSTALL_FULL_SYSCONFDIR "${prefix}/${unit_sysconfdir}")
endif()
get_filename_component(unit_name "${unit_template}" NAME_WLE)
set(unit_file "${CMAKE_CURRENT_BINARY_DIR}/install-time/${unit_name}")
configure_file("${unit_template}" "${unit_file}" @ONLY)
if(IS_ABSOLUTE "${unit_dir}")
  file(INSTALL "${unit_file}" DESTINATION "${unit_dir}")
else()
  file(INSTALL "${unit_file}" DESTINATION "${prefix}/${unit_dir}")
endif()
