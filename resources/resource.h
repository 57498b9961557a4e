// Every resource, control and command id of the program, named once.
// Shared by the resource script and the code; plain #defines so that the
// resource compiler reads them too.
#pragma once

// Dialogs
#define IDD_MAIN            101
#define IDD_ABOUT           122
#define IDD_SETTINGS        125
#define IDD_LOG_PAGE        139
#define IDD_MONITORING_PAGE 140
#define IDD_SHARES_PAGE     141
#define IDD_BLACKLIST_PAGE  142
#define IDD_ADD_COMPUTER    147
#define IDD_BLOCK           170
#define IDD_NOTIFY          171
#define IDD_TRIPWIRES       190
#define IDD_SERVERS         191
#define IDD_FORWARDING      220
#define IDD_HISTORY_PAGE    200

// Menus
#define IDR_MAIN_MENU       120
#define IDR_SESSIONS_MENU   144
#define IDR_FILES_MENU      145
#define IDR_BLACKLIST_MENU  146
#define IDR_SHARES_MENU     148
#define IDR_TRAY_MENU       173
#define IDR_EXPORT_MENU     183
#define IDR_HISTORY_MENU    201
#define IDR_TRIP_MENU       202

// Icons and bitmaps
#define IDI_NORMAL          176
#define IDI_ALERT           182
#define IDB_NAV_MONITORING       151
#define IDB_NAV_MONITORING_MASK  152
#define IDB_NAV_BLACKLIST        164
#define IDB_NAV_BLACKLIST_MASK   165
#define IDB_NAV_SHARES           166
#define IDB_NAV_SHARES_MASK      167
#define IDB_NAV_LOG              168
#define IDB_NAV_LOG_MASK         169
#define IDB_NAV_HISTORY          203
#define IDB_NAV_HISTORY_MASK     204

// Controls of the main window
#define IDC_NAV_BAR         1000
#define IDC_PAGE_ORIGIN     1023

// Controls of the Monitoring page
#define IDC_SESSIONS_LIST   1015
#define IDC_FILES_LIST      1016
#define IDC_REFRESH         1004
#define IDC_EXPORT_LIST     1024
#define IDC_AUTO_REFRESH    1019
// The server a page shows, on the Monitoring and Shares pages
#define IDC_SERVER_SELECT   1120

// Controls of the Shares, Black list and notify windows' lists
#define IDC_SHARES_LIST     1000
#define IDC_BLACKLIST_LIST  1000
#define IDC_NOTIFY_LIST     1000
#define IDC_MODE_BLACKLIST  1039
#define IDC_MODE_WHITELIST  1040
#define IDC_TRIPPED_LIST    1110
#define IDC_TRIPPED_LABEL   1111
#define IDC_RELEASE         1112

// Controls of the Log page
#define IDC_LOG_EDIT        1002
#define IDC_CLEAR_LOG       1004
#define IDC_EXPORT_LOG      1024
#define IDC_OPEN_FOLDER     1005

// Edit box of the "Block" and "Add computer" dialogs
#define IDC_NAME_EDIT       1002
#define IDC_MINUTES_EDIT    1002

// Controls of the Settings dialog
#define IDC_ENABLE_NOTIFY_WINDOW 1015
#define IDC_ENABLE_TRAY_NOTIFY   1016
#define IDC_DISPLAY_SESSIONS     1033
#define IDC_DISPLAY_FILES        1034
#define IDC_ENABLE_LOGS          1010
#define IDC_LOG_SESSIONS         1035
#define IDC_LOG_FILES            1036
#define IDC_HOTKEY               1018
#define IDC_LOAD_ON_STARTUP      1019
#define IDC_ENABLE_SOUND         1037
#define IDC_SOUND_ALL_SHARES     1039
#define IDC_SOUND_DRIVE_SHARES   1040
#define IDC_SOUND_HIDDEN_SHARES  1041
#define IDC_ENABLE_CSV_LOGS      1011

// Controls of the Tripwires dialog
#define IDC_TRIP_ENABLED         1101
#define IDC_BAIT_LIST            1102
#define IDC_BAIT_EDIT            1103
#define IDC_BAIT_ADD             1104
#define IDC_BAIT_REMOVE          1105
#define IDC_BURST_FILES          1106
#define IDC_BURST_SECONDS        1107
#define IDC_TRIP_MINUTES         1108
#define IDC_TRIP_DENY_SHARES     1109
#define IDC_TRIP_NEVER_DENIED    1113
// Controls of the Servers dialog
#define IDC_SERVER_LIST          1121
#define IDC_SERVER_EDIT          1122
#define IDC_SERVER_ADD           1123
#define IDC_SERVER_REMOVE        1124
// Controls of the Forwarding dialog
#define IDC_FWD_WHOSE            1300
#define IDC_FWD_ENABLED          1301
#define IDC_FWD_HOST             1302
#define IDC_FWD_PORT             1303
#define IDC_FWD_TRANSPORT        1304
#define IDC_FWD_FACILITY         1305
#define IDC_FWD_MINIMUM          1306
#define IDC_FWD_SPOOL            1307
#define IDC_FWD_TEST_SYSLOG      1308
#define IDC_FWD_SYSLOG_RESULT    1309
#define IDC_FWD_WEBHOOK          1310
#define IDC_FWD_WEBHOOK_FORMAT   1311
#define IDC_FWD_TEST_WEBHOOK     1312
#define IDC_FWD_WEBHOOK_RESULT   1313
// The Settings dialog's history box.
#define IDC_HISTORY_KEEP_DAYS    1200
// Controls of the History page; its kind boxes run in order, connections to actions.
#define IDC_HISTORY_FROM         1201
#define IDC_HISTORY_TO           1202
#define IDC_HISTORY_SERVER       1203
#define IDC_HISTORY_COMPUTER     1204
#define IDC_HISTORY_USER         1205
#define IDC_HISTORY_PATH         1206
#define IDC_HISTORY_CONNECTIONS  1207
#define IDC_HISTORY_READS        1208
#define IDC_HISTORY_WRITES       1209
#define IDC_HISTORY_TRIPS        1210
#define IDC_HISTORY_BLOCKS       1211
#define IDC_HISTORY_ACTIONS      1212
#define IDC_HISTORY_SEARCH       1213
#define IDC_HISTORY_EXPORT       1214
#define IDC_HISTORY_FOUND        1215
#define IDC_HISTORY_STATUS       1216
#define IDC_HISTORY_STOP         1217
#define IDC_HISTORY_LIST         1218
// The main window's line under the pages while the protection service watches.
#define IDC_SERVICE_STATUS       1130
// Commands
#define IDM_EXIT                40010
#define IDM_SETTINGS            40012
#define IDM_ABOUT               40013
#define IDM_HELP_CONTENTS       40016
#define IDM_CLOSE_SESSION       40021
#define IDM_REFRESH             40022
#define IDM_EXPLORE_SESSION     40023
#define IDM_CLOSE_FILE          40025
#define IDM_REMOVE              40027
#define IDM_ADD                 40028
#define IDM_BLOCK_1_MIN         40031
#define IDM_BLOCK_2_MIN         40032
#define IDM_BLOCK_4_MIN         40034
#define IDM_BLOCK_8_MIN         40035
#define IDM_BLOCK_16_MIN        40036
#define IDM_BLOCK_32_MIN        40037
#define IDM_BLOCK_MORE          40038
#define IDM_BLOCK               40040
#define IDM_TRAY_BLACKLIST      40040
#define IDM_EXPLORE_FILE        40042
#define IDM_TRAY_SHOW           40044
#define IDM_TRAY_EXIT           40045
#define IDM_TRAY_MONITORING     40046
#define IDM_TRAY_SHARES         40048
#define IDM_TRAY_LOGS           40049
#define IDM_WEB                 40050
#define IDM_EXPORT_TEXT         40053
#define IDM_EXPORT_CSV          40054
#define IDM_TRIPWIRES           40060
#define IDM_SERVERS             40061
#define IDM_FORWARDING          40120
// The History page's rows, and a trip's menu on the Black list and Log pages.
#define IDM_HISTORY_EXPLORE     40100
#define IDM_HISTORY_BLOCK       40101
#define IDM_HISTORY_BLOCK_MORE  40102
#define IDM_SHOW_USER_WRITES    40103
#define IDM_EXPORT_RESTORE_LIST 40104

// Private messages
#define WM_TRAY_NOTIFY          11024
// A click on the notify window, handed to the main window's thread, which owns the pages.
#define WM_NOTIFY_WINDOW_CLICKED (WM_APP + 1)
#define WM_NOTIFY_LINES          (WM_APP + 2)
// A watched server's worker hands over an enumeration: wParam its place, lParam the reply.
#define WM_SERVER_REPLY          (WM_APP + 3)
// The protection service's pipe: a checked frame waits in a slot (wParam), or the
// connection came or went (wParam 1 or 0).
#define WM_SERVICE_FRAME         (WM_APP + 4)
#define WM_SERVICE_CONNECTION    (WM_APP + 5)
// A Test button's send ended off the dialog's thread: wParam says which (its button's id).
#define WM_FORWARD_TEST_DONE     (WM_APP + 20)
// The history's search thread: a search's rows or count are there (wParam the
// HistoryNoticeKind, lParam the search's generation).
#define WM_HISTORY_NOTICE        (WM_APP + 200)
