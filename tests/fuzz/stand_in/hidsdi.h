// Native stand-in: the HID types the seam names, never looked into.
typedef struct _HIDD_ATTRIBUTES HIDD_ATTRIBUTES;
