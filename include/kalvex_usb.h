/*
 * Kalvex SDK: the camera on USB under Linux, through a user-space driver
 * (libusb), without a kernel module. Linux builds only; on Windows the
 * camera's kernel driver serves the device paths and these functions do not
 * exist.
 *
 * The application names its camera model by USB vendor and product id; the
 * driver never takes an arbitrary device. Once a model is added, matching
 * devices are cameras 0 to 7 for every library instance created afterwards
 * (Kalvex_IsCameraEnableW, Kalvex_SetCameraNumber and everything above them
 * work unchanged). Numbers are given in bus order (bus, port path, address)
 * when devices are first seen and kept while a device stays plugged; a camera
 * plugged later takes the lowest free number and is seen by the next
 * instance, as instances probe their cameras once, when they are created.
 *
 * Pipes. The library speaks to three pipes: 0 takes 64-byte command blocks,
 * 1 gives 64-byte reply blocks, 2 gives frames. By default pipe i is the i-th
 * endpoint of the interface's descriptor (the first interface whose endpoints
 * fit, alternate setting 0), which is how the camera's Windows driver numbers
 * them: pipe 0 must be a bulk OUT endpoint, pipes 1 and 2 bulk IN endpoints.
 * KalvexUsbLayout overrides the interface, the alternate setting and the
 * address of each pipe's endpoint; `kalvex usb` lists the candidates.
 *
 * Requests. Each command or reply block is one bulk transfer and each frame
 * one bulk transfer straight into the library's buffer; a request reports the
 * bytes the device sent, so a short transfer is seen as such. Stopping
 * capture cancels the pending transfer. Once a device is unplugged its
 * pending and every later request fail, also after it comes back (it is then
 * a new camera for new instances).
 *
 * Access. The device node (/dev/bus/usb/BBB/DDD) must be writable by the
 * user: the udev rule installed as share/kalvex/60-kalvex.rules does this
 * (TAG+="uaccess" for the seat's user and the group "kalvex"). When the node
 * cannot be opened, KalvexUsb_GetLastEvent gives KALVEX_USB_ACCESS_DENIED and
 * a text naming the node and the rule, also written as a debug line. A
 * device that needs its firmware loaded first is not supported.
 *
 * This header compiles as C89, C99 and C++.
 */
#ifndef KALVEX_USB_H
#define KALVEX_USB_H

#include "kalvex.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KALVEX_USB_PIPES 3
#define KALVEX_USB_MAX_MODELS 16

/* Events of the USB driver (KalvexUsb_GetLastEvent). */
#define KALVEX_USB_OK 0
#define KALVEX_USB_NO_DEVICE 1     /* no matching device at that camera number */
#define KALVEX_USB_ACCESS_DENIED 2 /* the device node cannot be opened (permissions) */
#define KALVEX_USB_BUSY 3          /* the interface is claimed by another program */
#define KALVEX_USB_BAD_LAYOUT 4    /* the interface or pipe endpoints do not fit */
#define KALVEX_USB_GONE 5          /* the device was unplugged */
#define KALVEX_USB_FAILED 6        /* any other failure of the USB stack */

/* Where the pipes are. interfaceNumber -1 takes the first interface whose
 * endpoints fit; an endpoint address 0 takes the pipe's default (the i-th
 * endpoint of the interface). */
typedef struct KalvexUsbLayout {
    int interfaceNumber;
    int alternateSetting;
    int endpoints[KALVEX_USB_PIPES];
} KalvexUsbLayout;

/* A device with an interface of three bulk endpoints (one OUT, two IN),
 * endpoints in descriptor order. */
typedef struct KalvexUsbCandidate {
    int vendorId;
    int productId;
    int busNumber;
    int deviceAddress;
    int interfaceNumber;
    int alternateSetting;
    int endpoints[KALVEX_USB_PIPES];
} KalvexUsbCandidate;

/* Adds a camera model (ids 0..0xFFFF); layout null takes the defaults. Adding
 * the same ids again replaces the layout. 1, or 0 for bad arguments, more
 * than KALVEX_USB_MAX_MODELS models or a USB stack that cannot start. */
KALVEX_API int KALVEX_CALL KalvexUsb_AddDevice(int vendorId, int productId,
                                               const KalvexUsbLayout *layout);
/* Forgets every model; cameras already open keep working until closed. */
KALVEX_API int KALVEX_CALL KalvexUsb_ClearDevices(void);
/* The latest event of the driver (KALVEX_USB_...) and, when text is not null
 * and size > 0, its description, cut to size - 1 characters. */
KALVEX_API int KALVEX_CALL KalvexUsb_GetLastEvent(char *text, int size);
/* Fills up to capacity candidates in bus order; returns how many there are
 * (may exceed capacity), or -1 when the USB stack cannot start. */
KALVEX_API int KALVEX_CALL KalvexUsb_ListCandidates(KalvexUsbCandidate *candidates, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_USB_H */
