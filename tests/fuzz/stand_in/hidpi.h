// Native stand-in: the HID types the seam names, never looked into.
typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;
typedef struct _HIDP_CAPS HIDP_CAPS;
