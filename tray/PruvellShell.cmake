# The tray program's shell units: simple timer, tray icon, USB watching and
# session-change notifications (target pruvell_shell).
find_package(Qt6 COMPONENTS DBus)
pkg_check_modules(LIBUDEV REQUIRED IMPORTED_TARGET libudev)
add_library(pruvell_shell STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SimpleTimer.cpp ${CMAKE_CURRENT_LIST_DIR}/SimpleTimer.h
  ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.cpp ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.h
  ${CMAKE_CURRENT_LIST_DIR}/TrayIconX11.cpp ${CMAKE_CURRENT_LIST_DIR}/TrayIconX11.h
  ${CMAKE_CURRENT_LIST_DIR}/USBPIDUnit.cpp ${CMAKE_CURRENT_LIST_DIR}/USBPIDUnit.h
  ${CMAKE_CURRENT_LIST_DIR}/Wtsapi.cpp ${CMAKE_CURRENT_LIST_DIR}/Wtsapi.h
)
target_include_directories(pruvell_shell PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(pruvell_shell PUBLIC Qt6::Widgets PRIVATE PkgConfig::LIBUDEV tray_x11)
if(TARGET Qt6::DBus)
  target_link_libraries(pruvell_shell PRIVATE Qt6::DBus)
  target_compile_definitions(pruvell_shell PRIVATE PRUVELL_HAVE_QTDBUS)
endif()
set_target_properties(pruvell_shell PROPERTIES AUTOMOC ON)
