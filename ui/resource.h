// Resource ids of the plug-in: the settings dialog, the Plays window and
// their controls.
#pragma once

#define IDD_CONFIG 102
#define IDD_PLAYS 103
#define IDD_EDIT_PLAY 104
#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#define IDC_VIEW_LOG 4
// The system headers use this name for the help cursor, which we never load.
#ifdef IDC_HELP
#undef IDC_HELP
#endif
#define IDC_HELP 3
#define IDC_USERNAME 1003
#define IDC_PASSWORD 1004
#define IDC_LOG_SIZE 1005
#define IDC_PROXY_USER 1006
#define IDC_PROXY_PASSWORD 1007
#define IDC_PROXY_HOST 1008
#define IDC_PROXY_PORT 1010
#define IDC_LOGIN_NOTE 1017
#define IDC_ENABLE_PLUGIN 1020
#define IDC_SHOW_ERRORS 1022
#define IDC_SKIP_STREAMS 1023
#define IDC_PLAYS 1030
#define IDC_LISTEN_RULE 1031
#define IDC_STREAM_SONGS 1032
#define IDC_PLAYS_STATUS 1041
#define IDC_PLAYS_LIST 1042
#define IDC_PLAYS_REMOVE 1043
#define IDC_PLAYS_SEND 1044
#define IDC_PLAYS_EXPORT 1045
#define IDC_PLAYS_PAUSE 1046
#define IDC_PLAYS_EDIT 1047
#define IDC_PLAYS_CORRECTIONS 1048
#define IDC_EDIT_ARTIST 1050
#define IDC_EDIT_TITLE 1051
#define IDC_EDIT_ALBUM 1052
#define IDC_EDIT_NOTE 1053
#define IDC_CACHE_STATS 3000
#define IDC_APP_VERSION 3001
#define IDC_LAST_SUBMITTED 3002
#define IDC_USE_PROXY 3005
#define IDC_USE_PROXY_AUTH 3006
