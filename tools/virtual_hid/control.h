/* The control device of the virtual HID display: how a user-mode program plays
 * the display. Shared by the kernel driver and the user-mode side. */
#ifndef VIRTUAL_HID_CONTROL_H
#define VIRTUAL_HID_CONTROL_H

/* \\.\VirtualHidDisplay, made by the driver when it loads. */
#define VHID_CONTROL_NAME L"VirtualHidDisplay"

#define VHID_CONTROL_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)
/* in: 8 payload bytes; queued as one input report (dropped while no device is
 * present). */
#define VHID_IOCTL_PUSH_INPUT VHID_CONTROL_CODE(0)
/* out: 9 bytes, the oldest output report the device took (report ID first);
 * stays pending until there is one. */
#define VHID_IOCTL_TAKE_OUTPUT VHID_CONTROL_CODE(1)
/* in: one ULONG, nonzero = hold every write from now on, 0 = release the held
 * writes in order and take reports again. */
#define VHID_IOCTL_HOLD_WRITES VHID_CONTROL_CODE(2)
/* out: VHID_STATUS. */
#define VHID_IOCTL_GET_STATUS VHID_CONTROL_CODE(3)
/* Drops queued input and output reports. */
#define VHID_IOCTL_RESET VHID_CONTROL_CODE(4)

typedef struct {
    unsigned long present;       /* a HID device is started and not removed */
    unsigned long holding;       /* writes are being held */
    unsigned long heldWrites;    /* writes waiting for the release */
    unsigned long pendingReads;  /* read requests of the class driver waiting for input */
    unsigned long queuedInput;   /* input reports waiting for a read request */
    unsigned long queuedOutput;  /* output reports not yet taken */
    unsigned long droppedOutput; /* output reports lost because nobody took them */
} VHID_STATUS;

#endif
