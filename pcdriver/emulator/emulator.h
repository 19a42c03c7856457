/*
 * VaVeduEmu.SYS, the instrument emulator: a root-enumerated bus driver whose one port holds the
 * measurement instrument (pcdriver/instrument). The instrument's physical device object carries
 * the hardware ID of the real one, so the Plug and Play manager loads VaVedu.SYS above it, and
 * answers the USB stack's internal requests as a hub and host controller do. A control device
 * lets tests plug the instrument in and out, halt endpoints and read counters.
 *
 * Built for Windows only: on Linux the model's USB bus (sim/usb) is the instrument's host.
 *
 * Locking: one spin lock of the bus guards the port, the instrument, the pipes, the transfer
 * queues and the counters. Requests are completed only with it released.
 */
#ifndef VAVEDU_EMULATOR_H
#define VAVEDU_EMULATOR_H

#include <ntddk.h>

extern "C" {
#include <usb.h>
#include <usbioctl.h>
}

#include "pcdriver/emulator/vaveduemu_ioctl.h"
#include "pcdriver/instrument/instrument.h"

/* What a device object of the emulator is: the first field of each of its extensions. */
typedef enum _EMU_OBJECT_KIND {
    EmuBusObject = 1, /* the functional device object of the root device */
    EmuPortObject,    /* the instrument's physical device object */
    EmuControlObject,
} EMU_OBJECT_KIND;

/* Endpoints by index: OUT endpoint n at n, IN endpoint n at 16 + n. */
#define EMU_ENDPOINTS 32
#define EMU_LOOPBACK_CAPACITY (4u * 1024 * 1024)
/* The most bytes one bulk request may move, as high-speed host controllers take it. */
#define EMU_MAX_TRANSFER_SIZE (4u * 1024 * 1024)
/* Pool tag "VEmu" as it shows in pool listings. */
#define EMU_POOL_TAG ((ULONG)'V' | ((ULONG)'E' << 8) | ((ULONG)'m' << 16) | ((ULONG)'u' << 24))

typedef struct _EMU_BUS EMU_BUS, *PEMU_BUS;

/* An open pipe of the current configuration; Handle 0 when closed. */
typedef struct _EMU_PIPE {
    ULONG_PTR Handle;
    UCHAR EndpointAddress;
    UCHAR InterfaceNumber;
    UCHAR Type; /* USB_ENDPOINT_TYPE_* */
    USHORT MaxPacket;
    ULONG MaxTransfer;
} EMU_PIPE;

/* A bulk transfer waiting at its endpoint. */
typedef struct _EMU_TRANSFER {
    LIST_ENTRY Link;
    PIRP Irp;
    PURB Urb;
    PUCHAR Buffer;
    ULONG Length;
    ULONG Moved;
    ULONG_PTR PipeHandle;
    UCHAR Endpoint;
    USHORT MaxPacket;
    BOOLEAN In;
    BOOLEAN ShortOk;
    USBD_STATUS Status; /* how it ended, once it has */
} EMU_TRANSFER, *PEMU_TRANSFER;

/* The instrument on the port: the extension of its physical device object. */
typedef struct _EMU_PORT {
    EMU_OBJECT_KIND Kind;
    PEMU_BUS Bus;
    PDEVICE_OBJECT Pdo;
    ULONG Generation;
    BOOLEAN Connected; /* on the port; reported to the Plug and Play manager */
    BOOLEAN Started;
    BOOLEAN RemoteWakeup;
    UCHAR ConfigIndex; /* 0xFF when unconfigured */
    ULONG_PTR ConfigurationHandle;
    UCHAR Alternates[4];
    ULONG_PTR InterfaceHandles[4];
    EMU_PIPE Pipes[EMU_ENDPOINTS];
    BOOLEAN Halted[EMU_ENDPOINTS];
    LIST_ENTRY Queues[EMU_ENDPOINTS];
    INSTRUMENT Instrument;
    PUCHAR LoopbackStorage;
} EMU_PORT, *PEMU_PORT;

typedef struct _EMU_CONTROL {
    EMU_OBJECT_KIND Kind;
    PEMU_BUS Bus;
} EMU_CONTROL, *PEMU_CONTROL;

/* The root device's functional device object's extension. */
struct _EMU_BUS {
    EMU_OBJECT_KIND Kind;
    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT ControlDevice;
    KSPIN_LOCK Lock;
    PEMU_PORT Port;     /* the instrument's device, or null */
    BOOLEAN PlugWanted; /* plug in a new instrument once the old device is gone */
    BOOLEAN Started;
    ULONG Generation;
    ULONG_PTR NextHandle;
    /* the host controller: a thread that carries out bulk transfers and tells the Plug and
       Play manager of port changes */
    HANDLE Controller; /* its thread (a kernel handle) */
    KEVENT Work;       /* synchronization event: something to do */
    BOOLEAN Stopping;
    BOOLEAN RelationsChanged;
    VAVEDU_EMU_COUNTERS Counters;
};

/* Bus (bus.cpp) */
extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS EmuCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
VOID EmuKickController(PEMU_BUS Bus);
VOID EmuRequestRelations(PEMU_BUS Bus); /* call with the lock held */

/* Port: the instrument's physical device object (port.cpp) */
PEMU_PORT EmuCreatePort(PEMU_BUS Bus);
VOID EmuDeletePort(PEMU_PORT Port);
VOID EmuUnplugLocked(PEMU_PORT Port, PLIST_ENTRY Done);
NTSTATUS EmuDispatchPort(PEMU_PORT Port, PIRP Irp);

/* Request blocks (urb.cpp) */
NTSTATUS EmuSubmitUrb(PEMU_PORT Port, PIRP Irp, PURB Urb);
NTSTATUS EmuNtStatusForUsbd(USBD_STATUS Status);
VOID EmuUnconfigureLocked(PEMU_PORT Port);

/* Bulk transfers (bulk.cpp) */
VOID EmuQueueBulkLocked(PEMU_PORT Port, PEMU_TRANSFER Transfer, PLIST_ENTRY Done);
VOID EmuRunTransfersLocked(PEMU_BUS Bus, PLIST_ENTRY Done);
VOID EmuFailPendingLocked(PEMU_PORT Port, ULONG EndpointIndex, USBD_STATUS Status,
                          PLIST_ENTRY Done);
VOID EmuFinishTransfers(PLIST_ENTRY Done);
ULONG EmuEndpointIndex(UCHAR EndpointAddress);

/* The control device (control.cpp) */
NTSTATUS EmuCreateControlDevice(PEMU_BUS Bus);
VOID EmuDeleteControlDevice(PEMU_BUS Bus);
NTSTATUS EmuDispatchControl(PEMU_CONTROL Control, PIRP Irp);

/* What Wine's kernel lacks, supplied by the emulator (wine_support.cpp) */
VOID EmuInstallWineSupport(VOID);
VOID EmuRemoveWineSupport(VOID);
PVOID EmuMdlAddress(PMDL Mdl);

#endif
