// Resource ids shared by pl_host_gui.rc and the code that loads them. Plain defines and a classic guard:
// windres reads this file too.
#ifndef PL_BASE_RESOURCE_H
#define PL_BASE_RESOURCE_H

#define IDI_APP_ICON 101

#define IDR_PNG_TAB_REINSTALL 201
#define IDR_PNG_TAB_USB 202
#define IDR_PNG_TAB_BACKUP 203
#define IDR_PNG_HEADER 204
#define IDR_PNG_CONTACT_QR 205

#endif  // PL_BASE_RESOURCE_H
