/* What a HID minidriver needs from the HID class driver: mingw-w64 ships no
 * hidport.h, and its ddk/hidclass.h has placeholder values for the minidriver
 * requests, so the documented definitions are written out here. */
#ifndef VIRTUAL_HID_MINIDRIVER_H
#define VIRTUAL_HID_MINIDRIVER_H

#include <ddk/wdm.h>

#define VHID_HID_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)

#define VHID_IOCTL_GET_DEVICE_DESCRIPTOR VHID_HID_CTL_CODE(0)
#define VHID_IOCTL_GET_REPORT_DESCRIPTOR VHID_HID_CTL_CODE(1)
#define VHID_IOCTL_READ_REPORT VHID_HID_CTL_CODE(2)
#define VHID_IOCTL_WRITE_REPORT VHID_HID_CTL_CODE(3)
#define VHID_IOCTL_GET_STRING VHID_HID_CTL_CODE(4)
#define VHID_IOCTL_GET_DEVICE_ATTRIBUTES VHID_HID_CTL_CODE(9)

#define VHID_HID_REVISION 1
#define VHID_HID_DESCRIPTOR_TYPE 0x21
#define VHID_REPORT_DESCRIPTOR_TYPE 0x22

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} VHID_MINIDRIVER_REGISTRATION;

NTSTATUS NTAPI HidRegisterMinidriver(VHID_MINIDRIVER_REGISTRATION* registration);

/* The class driver's part of the device extension of each device it makes. */
typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} VHID_DEVICE_EXTENSION;

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} VHID_DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} VHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} VHID_XFER_PACKET;

#endif
