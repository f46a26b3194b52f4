#pragma once
// Identifiers of the texts in String_Table_.dll. Swapping that module changes
// the language; the executable itself holds none of these texts.

// clang-format off
#define IDS_APP_TITLE            1000
#define IDS_LABEL_DOWNLOADED     1001
#define IDS_LABEL_UPDATED        1002
#define IDS_LABEL_EXPIRES        1003
#define IDS_BTN_UPDATE           1004
#define IDS_BTN_CANCEL           1005
#define IDS_BTN_CLOSE            1006
#define IDS_MENU_HIDE            1007
#define IDS_MENU_SHOW            1008
#define IDS_MENU_UPDATE          1009
#define IDS_MENU_EXIT            1010
#define IDS_CHK_AUTO_UPDATE      1011
#define IDS_CHK_STARTUP          1012
#define IDS_STATUS_DOWNLOADING   1013
#define IDS_STATUS_CANCELLING    1014
#define IDS_STATUS_STARTING      1015
#define IDS_TIP_COPYING          1016
#define IDS_DOWNLOAD_DONE        1017
#define IDS_DOWNLOAD_FAILED      1018
#define IDS_STATUS_COPYING       1019
#define IDS_COPY_DONE            1020
#define IDS_COPY_FAILED          1021
#define IDS_CAPTION_WARNING      1022
#define IDS_CONFIRM_EXIT         1023
#define IDS_MSG_CANCELLED        1024
#define IDS_MSG_DOWNLOAD_DONE    1025
#define IDS_MSG_DOWNLOAD_FAILED  1026
#define IDS_MSG_COPY_DONE        1027
#define IDS_MSG_COPY_FAILED      1028
#define IDS_MSG_DEVICE_REFUSED   1029
#define IDS_MSG_STILL_CLOSING    1032

#define IDS_FIRST                IDS_APP_TITLE
#define IDS_LAST                 IDS_MSG_STILL_CLOSING
// clang-format on

#ifndef RC_INVOKED
#include <cstdint>
struct StringIdName {
    uint16_t id;
    const char* name;
};
// Identifier names, for diagnostics and for the check that every text exists.
inline constexpr StringIdName kStringIdNames[] = {
    {IDS_APP_TITLE, "IDS_APP_TITLE"},
    {IDS_LABEL_DOWNLOADED, "IDS_LABEL_DOWNLOADED"},
    {IDS_LABEL_UPDATED, "IDS_LABEL_UPDATED"},
    {IDS_LABEL_EXPIRES, "IDS_LABEL_EXPIRES"},
    {IDS_BTN_UPDATE, "IDS_BTN_UPDATE"},
    {IDS_BTN_CANCEL, "IDS_BTN_CANCEL"},
    {IDS_BTN_CLOSE, "IDS_BTN_CLOSE"},
    {IDS_MENU_HIDE, "IDS_MENU_HIDE"},
    {IDS_MENU_SHOW, "IDS_MENU_SHOW"},
    {IDS_MENU_UPDATE, "IDS_MENU_UPDATE"},
    {IDS_MENU_EXIT, "IDS_MENU_EXIT"},
    {IDS_CHK_AUTO_UPDATE, "IDS_CHK_AUTO_UPDATE"},
    {IDS_CHK_STARTUP, "IDS_CHK_STARTUP"},
    {IDS_STATUS_DOWNLOADING, "IDS_STATUS_DOWNLOADING"},
    {IDS_STATUS_CANCELLING, "IDS_STATUS_CANCELLING"},
    {IDS_STATUS_STARTING, "IDS_STATUS_STARTING"},
    {IDS_TIP_COPYING, "IDS_TIP_COPYING"},
    {IDS_DOWNLOAD_DONE, "IDS_DOWNLOAD_DONE"},
    {IDS_DOWNLOAD_FAILED, "IDS_DOWNLOAD_FAILED"},
    {IDS_STATUS_COPYING, "IDS_STATUS_COPYING"},
    {IDS_COPY_DONE, "IDS_COPY_DONE"},
    {IDS_COPY_FAILED, "IDS_COPY_FAILED"},
    {IDS_CAPTION_WARNING, "IDS_CAPTION_WARNING"},
    {IDS_CONFIRM_EXIT, "IDS_CONFIRM_EXIT"},
    {IDS_MSG_CANCELLED, "IDS_MSG_CANCELLED"},
    {IDS_MSG_DOWNLOAD_DONE, "IDS_MSG_DOWNLOAD_DONE"},
    {IDS_MSG_DOWNLOAD_FAILED, "IDS_MSG_DOWNLOAD_FAILED"},
    {IDS_MSG_COPY_DONE, "IDS_MSG_COPY_DONE"},
    {IDS_MSG_COPY_FAILED, "IDS_MSG_COPY_FAILED"},
    {IDS_MSG_DEVICE_REFUSED, "IDS_MSG_DEVICE_REFUSED"},
    {IDS_MSG_STILL_CLOSING, "IDS_MSG_STILL_CLOSING"},
};
// In order, from the first identifier to the last.
static_assert(kStringIdNames[0].id == IDS_FIRST &&
              kStringIdNames[sizeof(kStringIdNames) / sizeof(kStringIdNames[0]) - 1].id == IDS_LAST);
#endif
