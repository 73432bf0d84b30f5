# The cash drawer library as a CMake package:
#   find_package(CashDrawer CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE CashDrawer::CashDrawer)
# CashDrawer::CashDrawer is Cash_Drawer_DLL.dll with its header and the
# import library of the consumer's toolchain (MSVC's .lib, mingw's .dll.a).
# Copy bin/Cash_Drawer_DLL.dll beside the program; never bin/sim.
get_filename_component(_cashdrawer_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET CashDrawer::CashDrawer)
  add_library(CashDrawer::CashDrawer SHARED IMPORTED)
  if(MSVC)
    set(_cashdrawer_implib "${_cashdrawer_root}/lib/Cash_Drawer_DLL.lib")
  else()
    set(_cashdrawer_implib "${_cashdrawer_root}/lib/libCash_Drawer_DLL.dll.a")
  endif()
  set_target_properties(CashDrawer::CashDrawer PROPERTIES
    IMPORTED_LOCATION "${_cashdrawer_root}/bin/Cash_Drawer_DLL.dll"
    IMPORTED_IMPLIB "${_cashdrawer_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_cashdrawer_root}/include")
  unset(_cashdrawer_implib)
endif()
unset(_cashdrawer_root)
