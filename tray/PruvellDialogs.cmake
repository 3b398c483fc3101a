# The program's dialogs and the update check, in the program's units
# (pruvell_core): the PIN dialog and the user-PIN change, the settings
# dialog, the update download (libcurl).
find_package(CURL REQUIRED)
target_sources(pruvell_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DialogSupport.cpp ${CMAKE_CURRENT_LIST_DIR}/DialogSupport.h
  ${CMAKE_CURRENT_LIST_DIR}/upinsetfrm.cpp ${CMAKE_CURRENT_LIST_DIR}/upinsetfrm.h
  ${CMAKE_CURRENT_LIST_DIR}/ProjectConfigfrm.cpp ${CMAKE_CURRENT_LIST_DIR}/ProjectConfigfrm.h
  ${CMAKE_CURRENT_LIST_DIR}/DownloadURL.cpp ${CMAKE_CURRENT_LIST_DIR}/DownloadURL.h)
target_link_libraries(pruvell_core PUBLIC hvcontrols PRIVATE CURL::libcurl)
