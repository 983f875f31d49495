/* A virtual USB display for Wine's HID stack: a kernel-mode HID minidriver on a
 * root-enumerated device node, plus a control device through which a user-mode
 * program plays the display (feeds input reports, takes output reports, holds
 * writes). A test tool only; it is never installed with the product.
 *
 * One device node at a time is expected, so the state is kept in one place
 * rather than in each device's extension; the control device outlives the
 * node, which lets a program pull it out and put it back. */
#include <ddk/wdm.h>

#include "control.h"
#include "minidriver.h"

#define PAYLOAD_SIZE 8
#define REPORT_SIZE (1 + PAYLOAD_SIZE)
#define INPUT_SLOTS 256
#define OUTPUT_SLOTS 4096

/* Vendor page collection: 8-byte input and output reports, no report IDs. */
static const UCHAR report_descriptor[] = {
    0x06, 0x00, 0xFF, /* usage page (vendor defined 0xFF00) */
    0x09, 0x01,       /* usage 1 */
    0xA1, 0x01,       /* collection (application) */
    0x15, 0x00,       /*   logical minimum 0 */
    0x26, 0xFF, 0x00, /*   logical maximum 255 */
    0x75, 0x08,       /*   report size 8 */
    0x95, PAYLOAD_SIZE, /* report count 8 */
    0x09, 0x02,       /*   usage 2 */
    0x81, 0x02,       /*   input (data, variable, absolute) */
    0x09, 0x03,       /*   usage 3 */
    0x91, 0x02,       /*   output (data, variable, absolute) */
    0xC0,             /* end collection */
};

/* The display's identity as the driver looks for it. */
#define VENDOR_ID 0x04D8
#define PRODUCT_ID 0xABD7
#define VERSION_NUMBER 0xF100

static KSPIN_LOCK lock;
static BOOLEAN present;
static BOOLEAN holding;
static LIST_ENTRY reads;  /* the class driver's read requests waiting for input */
static LIST_ENTRY held;   /* write requests held back, oldest first */
static LIST_ENTRY takers; /* control requests waiting for an output report */
static UCHAR input_ring[INPUT_SLOTS][PAYLOAD_SIZE];
static ULONG input_head, input_count;
static UCHAR output_ring[OUTPUT_SLOTS][REPORT_SIZE];
static ULONG output_head, output_count, output_dropped;

static DEVICE_OBJECT* control_device;
static PDRIVER_DISPATCH class_create, class_close, class_ioctl;

static void copy_bytes(void* to, const void* from, ULONG n) {
    UCHAR* t = to;
    const UCHAR* f = from;
    while (n--) *t++ = *f++;
}

/* ---- request queues that a cancel can take requests out of ---- */

static void NTAPI cancel_queued(DEVICE_OBJECT* device, IRP* irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Called with the lock held. FALSE when the request was cancelled already
 * (the caller completes it). */
static BOOLEAN queue_locked(LIST_ENTRY* queue, IRP* irp) {
    IoSetCancelRoutine(irp, cancel_queued);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) return FALSE;
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    return TRUE;
}

/* Called with the lock held: the oldest request that is not being cancelled. */
static IRP* pop_locked(LIST_ENTRY* queue) {
    while (!IsListEmpty(queue)) {
        LIST_ENTRY* entry = RemoveHeadList(queue);
        IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        /* Its cancel routine is running and will complete it. */
        InitializeListHead(entry);
    }
    return NULL;
}

static void complete_all(LIST_ENTRY* done) {
    while (!IsListEmpty(done)) {
        IRP* irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static void fail_all_locked(LIST_ENTRY* queue, LIST_ENTRY* done, NTSTATUS status) {
    IRP* irp;
    while ((irp = pop_locked(queue))) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

/* ---- reports ---- */

/* Called with the lock held: hands a report the device took to a waiting
 * taker, or keeps it (the oldest goes when nobody takes them). */
static void deliver_output_locked(const UCHAR* report, LIST_ENTRY* done) {
    IRP* taker = pop_locked(&takers);
    if (taker) {
        copy_bytes(taker->AssociatedIrp.SystemBuffer, report, REPORT_SIZE);
        taker->IoStatus.Status = STATUS_SUCCESS;
        taker->IoStatus.Information = REPORT_SIZE;
        InsertTailList(done, &taker->Tail.Overlay.ListEntry);
        return;
    }
    if (output_count == OUTPUT_SLOTS) {
        output_head = (output_head + 1) % OUTPUT_SLOTS;
        --output_count;
        ++output_dropped;
    }
    copy_bytes(output_ring[(output_head + output_count) % OUTPUT_SLOTS], report, REPORT_SIZE);
    ++output_count;
}

/* The report a write carries, as the display sees it: report ID 0 and the
 * payload. The class driver may pass the ID byte or leave it off. */
static void report_of_write(const VHID_XFER_PACKET* packet, UCHAR* report) {
    ULONG i;
    const UCHAR* from = packet->reportBuffer;
    ULONG length = packet->reportBufferLen;
    for (i = 0; i < REPORT_SIZE; ++i) report[i] = 0;
    if (!from) return;
    if (length >= REPORT_SIZE && from[0] == 0) {
        ++from;
        --length;
    }
    if (length > PAYLOAD_SIZE) length = PAYLOAD_SIZE;
    copy_bytes(report + 1, from, length);
}

static void release_held_locked(LIST_ENTRY* done) {
    IRP* irp;
    while ((irp = pop_locked(&held))) {
        deliver_output_locked((const UCHAR*)irp->Tail.Overlay.DriverContext, done);
        irp->IoStatus.Status = STATUS_SUCCESS;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

/* The device node is gone: nothing waits on it any longer. */
static void device_gone(void) {
    LIST_ENTRY done;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&lock, &irql);
    present = FALSE;
    input_count = 0;
    fail_all_locked(&reads, &done, STATUS_DELETE_PENDING);
    fail_all_locked(&held, &done, STATUS_DELETE_PENDING);
    KeReleaseSpinLock(&lock, irql);
    complete_all(&done);
}

/* ---- the HID minidriver ---- */

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT* device, IRP* irp) {
    VHID_DEVICE_EXTENSION* ext = device->DeviceExtension;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        KeAcquireSpinLock(&lock, &irql);
        present = TRUE;
        input_count = 0;
        KeReleaseSpinLock(&lock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
        device_gone();
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT* device, IRP* irp) {
    VHID_DEVICE_EXTENSION* ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->NextDeviceObject, irp);
}

static NTSTATUS copy_string(IRP* irp, ULONG out_size, ULONG_PTR which) {
    static const WCHAR manufacturer[] = L"Test tool";
    static const WCHAR product[] = L"Virtual HID display";
    static const WCHAR serial[] = L"0001";
    const WCHAR* text;
    ULONG size;
    switch (which & 0xFFFF) {
    case 14: text = manufacturer; size = sizeof manufacturer; break;
    case 15: text = product; size = sizeof product; break;
    case 16: text = serial; size = sizeof serial; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (!irp->UserBuffer || out_size < size) return STATUS_BUFFER_TOO_SMALL;
    copy_bytes(irp->UserBuffer, text, size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI dispatch_internal_ioctl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    LIST_ENTRY done;
    KIRQL irql;
    (void)device;

    InitializeListHead(&done);
    irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case VHID_IOCTL_GET_DEVICE_DESCRIPTOR: {
        VHID_DESCRIPTOR* descriptor = irp->UserBuffer;
        if (!descriptor || out_size < sizeof *descriptor) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        descriptor->bLength = sizeof *descriptor;
        descriptor->bDescriptorType = VHID_HID_DESCRIPTOR_TYPE;
        descriptor->bcdHID = 0x0100;
        descriptor->bCountry = 0;
        descriptor->bNumDescriptors = 1;
        descriptor->bReportType = VHID_REPORT_DESCRIPTOR_TYPE;
        descriptor->wReportLength = sizeof report_descriptor;
        irp->IoStatus.Information = sizeof *descriptor;
        break;
    }
    case VHID_IOCTL_GET_REPORT_DESCRIPTOR:
        if (!irp->UserBuffer || out_size < sizeof report_descriptor) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        copy_bytes(irp->UserBuffer, report_descriptor, sizeof report_descriptor);
        irp->IoStatus.Information = sizeof report_descriptor;
        break;
    case VHID_IOCTL_GET_DEVICE_ATTRIBUTES: {
        VHID_DEVICE_ATTRIBUTES* attributes = irp->UserBuffer;
        ULONG i;
        if (!attributes || out_size < sizeof *attributes) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        attributes->Size = sizeof *attributes;
        attributes->VendorID = VENDOR_ID;
        attributes->ProductID = PRODUCT_ID;
        attributes->VersionNumber = VERSION_NUMBER;
        for (i = 0; i < 11; ++i) attributes->Reserved[i] = 0;
        irp->IoStatus.Information = sizeof *attributes;
        break;
    }
    case VHID_IOCTL_GET_STRING:
        status = copy_string(irp, out_size, (ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer);
        break;
    case VHID_IOCTL_READ_REPORT:
        /* The report goes without its ID byte, as there are no report IDs. */
        if (!irp->UserBuffer || out_size < PAYLOAD_SIZE) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&lock, &irql);
        if (!present) {
            status = STATUS_DELETE_PENDING;
        } else if (input_count) {
            copy_bytes(irp->UserBuffer, input_ring[input_head], PAYLOAD_SIZE);
            input_head = (input_head + 1) % INPUT_SLOTS;
            --input_count;
            irp->IoStatus.Information = PAYLOAD_SIZE;
        } else if (queue_locked(&reads, irp)) {
            status = STATUS_PENDING;
        } else {
            status = STATUS_CANCELLED;
        }
        KeReleaseSpinLock(&lock, irql);
        break;
    case VHID_IOCTL_WRITE_REPORT: {
        const VHID_XFER_PACKET* packet = irp->UserBuffer;
        UCHAR* report = (UCHAR*)irp->Tail.Overlay.DriverContext;
        if (!packet || !packet->reportBuffer) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        report_of_write(packet, report);
        KeAcquireSpinLock(&lock, &irql);
        irp->IoStatus.Information = packet->reportBufferLen;
        if (!present) {
            status = STATUS_DELETE_PENDING;
        } else if (!holding) {
            deliver_output_locked(report, &done);
        } else if (queue_locked(&held, irp)) {
            status = STATUS_PENDING;
        } else {
            status = STATUS_CANCELLED;
        }
        KeReleaseSpinLock(&lock, irql);
        break;
    }
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }

    complete_all(&done);
    if (status != STATUS_PENDING) {
        if (status != STATUS_SUCCESS) irp->IoStatus.Information = 0;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT* driver, DEVICE_OBJECT* fdo) {
    (void)driver;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ---- the control device ---- */

static NTSTATUS control_ioctl(IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    irp->IoStatus.Information = 0;
    KeAcquireSpinLock(&lock, &irql);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case VHID_IOCTL_PUSH_INPUT: {
        IRP* read;
        if (!buffer || in_size < PAYLOAD_SIZE) {
            status = STATUS_INVALID_PARAMETER;
        } else if (!present) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if ((read = pop_locked(&reads))) {
            copy_bytes(read->UserBuffer, buffer, PAYLOAD_SIZE);
            read->IoStatus.Status = STATUS_SUCCESS;
            read->IoStatus.Information = PAYLOAD_SIZE;
            InsertTailList(&done, &read->Tail.Overlay.ListEntry);
        } else if (input_count == INPUT_SLOTS) {
            status = STATUS_DEVICE_BUSY;
        } else {
            copy_bytes(input_ring[(input_head + input_count) % INPUT_SLOTS], buffer, PAYLOAD_SIZE);
            ++input_count;
        }
        break;
    }
    case VHID_IOCTL_TAKE_OUTPUT:
        if (!buffer || out_size < REPORT_SIZE) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (output_count) {
            copy_bytes(buffer, output_ring[output_head], REPORT_SIZE);
            output_head = (output_head + 1) % OUTPUT_SLOTS;
            --output_count;
            irp->IoStatus.Information = REPORT_SIZE;
        } else if (queue_locked(&takers, irp)) {
            status = STATUS_PENDING;
        } else {
            status = STATUS_CANCELLED;
        }
        break;
    case VHID_IOCTL_HOLD_WRITES:
        if (!buffer || in_size < sizeof(ULONG)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        holding = *(const ULONG*)buffer != 0;
        if (!holding) release_held_locked(&done);
        break;
    case VHID_IOCTL_GET_STATUS: {
        VHID_STATUS* out = (VHID_STATUS*)buffer;
        LIST_ENTRY* entry;
        if (!buffer || out_size < sizeof *out) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        out->present = present;
        out->holding = holding;
        out->heldWrites = 0;
        for (entry = held.Flink; entry != &held; entry = entry->Flink) ++out->heldWrites;
        out->pendingReads = 0;
        for (entry = reads.Flink; entry != &reads; entry = entry->Flink) ++out->pendingReads;
        out->queuedInput = input_count;
        out->queuedOutput = output_count;
        out->droppedOutput = output_dropped;
        irp->IoStatus.Information = sizeof *out;
        break;
    }
    case VHID_IOCTL_RESET:
        input_count = 0;
        output_count = 0;
        output_dropped = 0;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    KeReleaseSpinLock(&lock, irql);

    complete_all(&done);
    if (status != STATUS_PENDING) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

static NTSTATUS complete_simply(IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* The class driver owns create, close and device control of this driver's
 * objects; the control device's requests are answered here first. */
static NTSTATUS NTAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp) {
    return device == control_device ? complete_simply(irp) : class_create(device, irp);
}

static NTSTATUS NTAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp) {
    return device == control_device ? complete_simply(irp) : class_close(device, irp);
}

static NTSTATUS NTAPI dispatch_ioctl(DEVICE_OBJECT* device, IRP* irp) {
    return device == control_device ? control_ioctl(irp) : class_ioctl(device, irp);
}

static UNICODE_STRING control_name = RTL_CONSTANT_STRING(L"\\Device\\" VHID_CONTROL_NAME);
static UNICODE_STRING control_link = RTL_CONSTANT_STRING(L"\\DosDevices\\" VHID_CONTROL_NAME);

static void NTAPI driver_unload(DRIVER_OBJECT* driver) {
    (void)driver;
    if (control_device) {
        IoDeleteSymbolicLink(&control_link);
        IoDeleteDevice(control_device);
        control_device = NULL;
    }
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
    VHID_MINIDRIVER_REGISTRATION registration;
    NTSTATUS status;

    KeInitializeSpinLock(&lock);
    InitializeListHead(&reads);
    InitializeListHead(&held);
    InitializeListHead(&takers);

    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_ioctl;

    registration.Revision = VHID_HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registry;
    registration.DeviceExtensionSize = sizeof(ULONG_PTR);
    registration.DevicesArePolled = FALSE;
    registration.Reserved[0] = registration.Reserved[1] = registration.Reserved[2] = 0;
    if ((status = HidRegisterMinidriver(&registration))) return status;

    class_create = driver->MajorFunction[IRP_MJ_CREATE];
    class_close = driver->MajorFunction[IRP_MJ_CLOSE];
    class_ioctl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;

    if ((status = IoCreateDevice(driver, 0, &control_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control_device)))
        return status;
    if ((status = IoCreateSymbolicLink(&control_link, &control_name))) {
        IoDeleteDevice(control_device);
        control_device = NULL;
        return status;
    }
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
