/* Resource ids of the removal program, shared by the code and oslnkun.rc. */
#ifndef OSLNKUN_RESOURCE_H
#define OSLNKUN_RESOURCE_H

#define IDD_OSLNKUN_DIALOG 102 /* the question dialog */
#define IDI_OSLNKUN 128        /* icon group: 32x32 and 16x16, 16 colours */
#define IDC_UPPER_LINE 1014    /* read-only edit: first line of the question */
#define IDC_LOWER_LINE 1015    /* read-only edit: second line of the question */

#endif
