/*
 * The support test driver's application interface: its device interface class, its
 * device-control codes and the registry values it reads. Shared by the driver (kernel code) and
 * the tests that drive it.
 *
 * The driver uses the support library as a USB function driver does: 32 packet queues whose start
 * routine takes the remove lock, Plug and Play and power handed to the library. Each queued
 * request is a device-control request that names its queue and what the start routine does
 * with it.
 */
#ifndef VAVEDU_TESTS_SUPPORT_TEST_IOCTL_H
#define VAVEDU_TESTS_SUPPORT_TEST_IOCTL_H

#include <wdm.h>

/* {3C9A61E2-5B07-4F8D-A2C4-91D7E3B05A18} */
static const GUID GUID_SUPPORT_TEST_INTERFACE = {
    0x3c9a61e2, 0x5b07, 0x4f8d, {0xa2, 0xc4, 0x91, 0xd7, 0xe3, 0xb0, 0x5a, 0x18}};

#define SUPPORT_TEST_QUEUES 32

#define SUPPORT_TEST_CODE(function) \
    CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Input SUPPORT_TEST_PACKET, output ULONG (the packet's tag, on success). Goes to the packet
   queue named in the packet; STATUS_INVALID_PARAMETER for a queue the device does not have. */
#define IOCTL_SUPPORT_TEST_QUEUE SUPPORT_TEST_CODE(0x900)
/* Input SUPPORT_TEST_RELEASE: finishes the request held in the start routine of that queue with
   the status given (StartNextPacket first, as the driver does). STATUS_NOT_FOUND when none. */
#define IOCTL_SUPPORT_TEST_RELEASE SUPPORT_TEST_CODE(0x901)
/* Output ULONG: bit i set while queue i's busy word is nonzero. A start routine entered while
   another call of it for the same queue still runs prints "SupportTest: StartIo overlap <queue>".
 */
#define IOCTL_SUPPORT_TEST_BUSY SUPPORT_TEST_CODE(0x902)
/* Takes the remove lock and keeps it; STATUS_DEVICE_BUSY while already kept. The status is the
   lock's. */
#define IOCTL_SUPPORT_TEST_HOLD_LOCK SUPPORT_TEST_CODE(0x903)
/* Gives the lock kept by IOCTL_SUPPORT_TEST_HOLD_LOCK back; STATUS_NOT_FOUND when none is kept. */
#define IOCTL_SUPPORT_TEST_DROP_LOCK SUPPORT_TEST_CODE(0x904)
/* Takes the remove lock and gives it back at once; the status is the lock's. */
#define IOCTL_SUPPORT_TEST_PROBE_LOCK SUPPORT_TEST_CODE(0x905)
/* Output SUPPORT_TEST_STACK: stack use of the start routine since the last call; resets it. */
#define IOCTL_SUPPORT_TEST_STACK SUPPORT_TEST_CODE(0x906)
/* Input ULONG SUPPORT_TEST_REGISTER_*: calls GenericRegisterInterface as it names; the status is
   the library's. */
#define IOCTL_SUPPORT_TEST_REGISTER SUPPORT_TEST_CODE(0x907)

#define SUPPORT_TEST_REGISTER_OWN 0          /* the device's extension and interface class */
#define SUPPORT_TEST_REGISTER_NO_CLASS 1     /* no interface class */
#define SUPPORT_TEST_REGISTER_NO_EXTENSION 2 /* no extension */
#define SUPPORT_TEST_REGISTER_FOREIGN 3      /* an extension the library never took in */

/* What the start routine does with a request. */
#define SUPPORT_TEST_COMPLETE 0 /* StartNextPacket, then complete it with success */
#define SUPPORT_TEST_HOLD 1     /* keep it until IOCTL_SUPPORT_TEST_RELEASE */
/* Keep it, and stay inside the start routine until it is released (at most 20 seconds), so that
   StartNextPacket comes from another thread while the start routine still runs. */
#define SUPPORT_TEST_HOLD_INSIDE 2
/* Handed to StartPacket without a cancel routine. */
#define SUPPORT_TEST_NO_CANCEL_ROUTINE 3
/* Cancelled (as by the application) before it is handed to StartPacket. */
#define SUPPORT_TEST_CANCELLED_FIRST 4
/* The start routine lets the queue go on and keeps the request, cancellable with the driver's
   cancel routine: a cancel then finds it in none of the library's queues. */
#define SUPPORT_TEST_PARK 5
/* Completed as SUPPORT_TEST_COMPLETE; while it waits, its cancel routine names the next queue
   instead of the one it waits in. */
#define SUPPORT_TEST_CANCEL_NAMES_NEXT_QUEUE 6
/* Completed as SUPPORT_TEST_COMPLETE; while it waits, its cancel routine prints
   "SupportTest: slow cancel" and takes 300 ms before it hands the request to the library, so that
   the library meets a request whose cancel is under way. */
#define SUPPORT_TEST_SLOW_CANCEL 7

typedef struct _SUPPORT_TEST_PACKET {
    ULONG Queue;
    ULONG Mode;
    ULONG Tag;
} SUPPORT_TEST_PACKET;

typedef struct _SUPPORT_TEST_RELEASE {
    ULONG Queue;
    NTSTATUS Status;
} SUPPORT_TEST_RELEASE;

typedef struct _SUPPORT_TEST_STACK {
    ULONGLONG Span; /* bytes between the deepest and the shallowest frame of the start routine */
    ULONG Starts;   /* calls of the start routine */
    ULONG Reserved;
} SUPPORT_TEST_STACK;

/* REG_DWORD values of the service key, read at every AddDevice and StartDevice. */
#define SUPPORT_TEST_FAIL_START_NAME u"FailStart"       /* nonzero: StartDevice fails with it */
#define SUPPORT_TEST_CORRUPT_BLOCK_NAME u"CorruptBlock" /* SUPPORT_TEST_BLOCK_* */
/* SUPPORT_TEST_OMIT_* bits: callbacks left out of the block. Without a remove callback the driver
   deletes its device itself once the library has passed the removal down. */
#define SUPPORT_TEST_OMIT_CALLBACKS_NAME u"OmitCallbacks"
#define SUPPORT_TEST_REGISTER_LATE_NAME u"RegisterLate" /* nonzero: no interface at AddDevice */
/* Nonzero: a device the library refused stays, and gets Plug and Play and power through the
   library all the same; the driver deletes it at removal. */
#define SUPPORT_TEST_KEEP_REFUSED_NAME u"KeepRefused"
/* Nonzero: AddDevice gives the device up after the library took it in and registered its
   interface (CleanupGenericExtension, then again, then with no extension). */
#define SUPPORT_TEST_GIVE_UP_NAME u"GiveUpAfterInit"

#define SUPPORT_TEST_OMIT_START 1
#define SUPPORT_TEST_OMIT_STOP 2
#define SUPPORT_TEST_OMIT_REMOVE 4

/* How AddDevice spoils the block it hands to InitializeGenericExtension. */
#define SUPPORT_TEST_BLOCK_INTACT 0
#define SUPPORT_TEST_BLOCK_SIZE_ZERO 1
#define SUPPORT_TEST_BLOCK_SIZE_SHORT 2 /* 695 */
#define SUPPORT_TEST_BLOCK_SIZE_LONG 3  /* 697 */
#define SUPPORT_TEST_BLOCK_33_QUEUES 4
#define SUPPORT_TEST_BLOCK_MANY_QUEUES 5    /* 0xFFFFFFFF */
#define SUPPORT_TEST_BLOCK_NO_QUEUES 6      /* valid: a device without queues */
#define SUPPORT_TEST_BLOCK_NO_START_IO 7    /* queue 4 without a start routine */
#define SUPPORT_TEST_BLOCK_NO_LOCK 8        /* no remove lock */
#define SUPPORT_TEST_BLOCK_NO_EXTENSION 9   /* no extension to initialise */
#define SUPPORT_TEST_BLOCK_MISALIGNED 10    /* an extension one byte off its alignment */
#define SUPPORT_TEST_BLOCK_NONE 11          /* no block */
#define SUPPORT_TEST_BLOCK_NO_DEVICE 12     /* no device object */
#define SUPPORT_TEST_BLOCK_NO_PDO 13        /* no physical device object */
#define SUPPORT_TEST_BLOCK_NO_LOWER 14      /* no lower device object */
#define SUPPORT_TEST_BLOCK_NO_QUEUE_AREA 15 /* queue 4 without its area */

#endif
