// Identifiers shared by the resource script and the program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN_DIALOG 102
#define IDP_SOCKETS_INIT_FAILED 103
#define IDR_MAINFRAME 128
#define IDB_LOGO 151

#define IDC_OVERALL_PROGRESS 1000
#define IDC_PART_PROGRESS 1001
#define IDC_PART_LABEL 1002
#define IDC_DOWNLOAD 1003
#define IDC_STOP 1004
#define IDC_INSTALL 1005
#define IDC_DIRECTORY 1006
#define IDC_VERSION 1007

#define IDM_ABOUTBOX 0x0010
