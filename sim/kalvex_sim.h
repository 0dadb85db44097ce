/*
 * Kalvex simulated camera: a user-space stand-in for the camera and its
 * kernel driver. Each plugged camera n serves the device path
 * "\\.\ZcamN7KTHM-<n>" with the real protocol (command blocks on pipe 0,
 * replies on pipe 1, frames on pipe 2), so the library runs against it
 * unmodified. This header is the control API for tests, benchmarks and tools.
 *
 * All functions are thread-safe. Functions returning int give 1 on success and
 * 0 for an unknown camera or a bad argument unless noted otherwise. Cameras
 * are numbered 0 to 7. After start-up and after KalvexSim_Reset no camera is
 * plugged and every setting has its default.
 *
 * ---- Protocol as served -------------------------------------------------
 * Pipe 0, code 0x00222051 (0x0022204E for the start-frame opcode 0x02): one
 *   64-byte command block; any other code or length fails the request and the
 *   block is not executed. Opcodes: 0x02 start frame, 0x06 init, 0x09 transfer
 *   length (bytes 1-4, little-endian; stored in registers 0-3), 0x0A pixel
 *   mode (recorded only), 0x0C read core value (byte 1), 0x25 write register
 *   (bytes 1, 2), 0x26 read register (byte 1), 0x40 write core value (bytes
 *   3 item, 4 high, 5 low; a write of item 6 is a NUC). Unknown opcodes are
 *   accepted and ignored.
 * Pipe 1, code 0x0022204E (any other code or length fails the request), 64
 *   bytes: the next queued reply block. A register read (0x26) and a core
 *   value read (0x0C) each take two reply blocks: the first echoes the opcode
 *   and item in bytes 0 and 1, the second holds the register value in byte 0,
 *   or the core value high byte in byte 0 and low byte in byte 1. Reading with
 *   nothing queued fails. Replies are queued per camera, not per handle.
 * Pipe 2, code 0x00222051, or 0x002220A9 when the transfer length is
 *   3,072,000 samples or more (the other code fails the request): one frame.
 *   Transfer length L = registers 0-3 (little-endian) in samples; sample
 *   depth from register 14 (8: 8-bit samples, anything else: 16-bit
 *   little-endian). The frame is H lines of W samples of the window, then
 *   filler samples (KALVEX_SIM_FILLER) up to L. The request is filled with
 *   min(request length, frame bytes) bytes and completes with that count, so
 *   asking for more than the frame is a short transfer.
 *   Window: X = 2 * reg16, Y = 2 * reg17, H = 2 * (reg19 + 1),
 *   W = 2 * reg18 or 2 * reg18 + 512 (register 18 keeps 8 bits of width / 2):
 *   the larger candidate with X + W <= 640 and W * H <= L. Coordinates
 *   beyond the sensor are clamped to its last line and column.
 *   A frame is sent only after a start-frame command (0x02, on any handle of
 *   the camera): each start-frame arms the camera for one frame request, and
 *   a frame request that finds it unarmed, or no transfer length programmed
 *   (L = 0), fails.
 *   Frames are paced at the frame rate: a request waits for the next frame
 *   time (frame period after the previous frame served).
 *   An 8-bit sample is the 14-bit value shifted right by 6.
 * Core value 32 is the internal temperature; all other items read back what
 *   was last written (0 at power-on).
 * Register 7 bit 2 is the trigger input level; all other register bits read
 *   back what was last written.
 * Power-on registers (on every plug): all 0 except 16-bit samples (14: 9):
 *   no window and no transfer length are programmed, so the host must set
 *   both (opcode 0x09, registers 16-19) before it asks for frames. Plugging
 *   also empties the reply queue, disarms the start-frame and undoes a NUC;
 *   scene, noise, rate, faults, latencies and counters are settings of the
 *   simulation and survive unplug and plug.
 * An unplugged camera fails every open and every transfer, also through
 *   handles opened before the unplug and requests already waiting.
 * Plug a camera before the library instance that should see it is created:
 *   Kalvex_Initialize probes the eight device paths once, and a camera
 *   plugged later stays absent for that instance.
 * Cancel (the driver's cancel entry, KalvexDriverOps.cancel): the request
 *   waiting on the handle (latency, stall or frame pacing) fails at once, and
 *   so does every later request on that handle; other handles are untouched.
 *
 * ---- Defaults (at start-up and after KalvexSim_Reset) --------------------
 * No camera plugged; frame rate 30 per second; test pattern off; background
 *   22.0 degrees (no scene image), no spots; temporal noise 0 (off), seed 0; fixed-pattern noise
 *   0 (off), seed 0; core value 32 = 23808 (24.99914 degrees), no internal
 *   drift; drift model a = 0.1, b = 4.0, Tcal = the default internal
 *   temperature; trigger level low, no pulse; no faults, aimed at every
 *   opcode; latency 0 on every pipe; cancelling works; counters, cancels and the
 *   command log 0.
 *
 * ---- Sensor model -------------------------------------------------------
 * Internal temperature: core value v <-> Ti = v * 3.0 / 32767.0 * (-207.9) +
 *   478.17 (double, then float). Setting a temperature in degrees stores
 *   v = round((478.17 - T) * 32767 / 623.7) clamped to 0..65535, and the model
 *   uses the Ti decoded from v, as the library sees it. Default v = 23808
 *   (24.99914 degrees).
 * Scene temperature T(x, y): the background (a flat temperature, or pixel
 *   (x, y) of the scene image, see "Scene images"), or the last added spot
 *   whose disc (x - sx)^2 + (y - sy)^2 <= r^2 holds the pixel (sensor
 *   coordinates). The sensor sees the apparent (black-body) temperature of
 *   that point:
 *     W(T_app) = tau * (e * W(T) + (1 - e) * W(T_refl)) + (1 - tau) * W(T_path)
 *   where e is the spot's emissivity (the flat background's is 1, an image
 *   pixel's that of the image's emissivity, 1 without one), T_refl the
 *   reflected temperature of the surroundings, tau the transmission of the
 *   path and T_path its temperature (KalvexSim_SetRadiometry; defaults 22,
 *   1 and 22), and W(T) the band radiance of a black body over 8-14 um:
 *   Planck's law integrated numerically (Simpson's rule, 600 intervals) in
 *   double, inverted by bisection. With e = 1 and tau = 1, T_app = T exactly.
 *   For the pixels of a scene image W and its inverse come instead from W at
 *   every 1/32 degree (integrated as above) between the coldest and hottest
 *   of the image, T_refl and T_path, interpolated linearly: within 1e-5
 *   degrees of the bisection, computed once when the image or the radiometry
 *   is set. The raw value below is that of T_app.
 * Raw value:
 *     base(T)     = GAIN * (T - T0) + R0                 (40 raw per degree,
 *                                                          22 degrees -> 8000)
 *     drift(T,Ti) = (a * T + b) * (Tcal - Ti)
 *     raw         = clamp(floor(base(T) + drift(T, Ti) + 1e-6) + fpn(x, y)
 *                         + noise, 0, 16383)
 *   (floor, like the library's truncation of shifted points; the 1e-6 keeps
 *   decimal temperatures such as 36.6 on their raw value).
 *   a, b and Tcal are the drift model (KalvexSim_SetDriftModel; defaults
 *   a = 0.1, b = 4.0, Tcal = the Ti of v = 23808, so the default camera has no
 *   drift). A version-4 table written by KalvexSim_WriteTable carries the same
 *   a, b and Tcal; the library's shift of its points, r' = (a t + b)(Tcal - Ti)
 *   + r truncated, then equals the raw value the camera sends at temperature t
 *   (float rounding aside: within one raw value).
 *   fpn(x, y): a fixed per-pixel offset, uniform in -A..A, a hash of
 *   (x, y, seed). A NUC (core write of item 6) zeroes it until the next
 *   KalvexSim_SetFixedPatternNoise.
 *   noise: temporal noise, uniform in -N..N per sample and frame, from a
 *   generator seeded with (seed, frames served); off when N = 0 (default).
 * Test pattern (when on it replaces the scene; no fpn, no noise): the sample
 *   at sensor line y and column x is
 *     KALVEX_SIM_PATTERN(y, x) = (y * 1031 + x) & 0x3FFF.
 *   Every line differs from every other, and the line is recovered from any
 *   sample as ((sample - x) * 10679) & 0x3FFF (10679 * 1031 = 1 mod 16384).
 * Calibration line: the temperature of raw value r is
 *   KalvexSim_TemperatureForRaw(r) = (r - R0) / GAIN + T0, exact in float for
 *   the raw values of whole and quarter degrees (37.0 degrees <-> 8600).
 */
#ifndef KALVEX_SIM_H
#define KALVEX_SIM_H

#include "kalvex.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KALVEX_SIM_CAMERAS 8
#define KALVEX_SIM_MAX_SPOTS 16
#define KALVEX_SIM_LOG_BLOCKS 64
#define KALVEX_SIM_BLOCK_BYTES 64
#define KALVEX_SIM_SENSOR_WIDTH 640
#define KALVEX_SIM_SENSOR_HEIGHT 480
/* Filler sample after the window's lines (8-bit: 0x1234 >> 6 = 0x48). */
#define KALVEX_SIM_FILLER 0x1234
#define KALVEX_SIM_PATTERN(line, column) ((((line)*1031) + (column)) & 0x3FFF)
#define KALVEX_SIM_PATTERN_LINE(sample, column) ((((sample) - (column)) * 10679) & 0x3FFF)
#define KALVEX_SIM_GAIN 40.0
#define KALVEX_SIM_T0 22.0
#define KALVEX_SIM_R0 8000.0
#define KALVEX_SIM_DEFAULT_CORE_TEMPERATURE 23808
#define KALVEX_SIM_DEFAULT_DRIFT_SLOPE 0.1
#define KALVEX_SIM_DEFAULT_DRIFT_INTERCEPT 4.0
#define KALVEX_SIM_DEFAULT_FRAME_RATE 30.0
#define KALVEX_SIM_DEFAULT_BACKGROUND 22.0
#define KALVEX_SIM_BAND_LOW 8.0 /* micrometres */
#define KALVEX_SIM_BAND_HIGH 14.0

/* Faults, each armed per camera for the next `times` occurrences, or until
 * cleared with KALVEX_SIM_UNTIL_CLEARED; times 0 clears it. A failed transfer
 * returns failure with 0 bytes; a short one succeeds with fewer bytes than
 * asked (half the request). A failed or short command is not executed; a
 * failed or short reply read consumes the reply block. Each reply block read
 * counts as one occurrence (a register read reads two). A stalled frame
 * request blocks until KalvexSim_ReleaseStalls, clearing the stall fault or
 * KalvexSim_ClearFaults (then it is served normally) or until the camera is
 * unplugged or the handle cancelled (then it fails). */
#define KALVEX_SIM_FAULT_OPEN 1
#define KALVEX_SIM_FAULT_COMMAND_FAIL 2
#define KALVEX_SIM_FAULT_COMMAND_SHORT 3
#define KALVEX_SIM_FAULT_REPLY_FAIL 4
#define KALVEX_SIM_FAULT_REPLY_SHORT 5
#define KALVEX_SIM_FAULT_FRAME_FAIL 6
#define KALVEX_SIM_FAULT_FRAME_SHORT 7
#define KALVEX_SIM_FAULT_FRAME_STALL 8
/* A stalled command or reply read blocks like a stalled frame request; a
 * command is executed (a reply consumed) only when its stall is released. */
#define KALVEX_SIM_FAULT_COMMAND_STALL 9
#define KALVEX_SIM_FAULT_REPLY_STALL 10
#define KALVEX_SIM_UNTIL_CLEARED (-1)

typedef struct KalvexSimCounters {
    long opens;         /* successful opens */
    long openHandles;   /* handles open now */
    long commands;      /* command blocks executed (start-frame included) */
    long startFrames;   /* start-frame commands (0x02) */
    long replies;       /* reply blocks delivered in full */
    long nucCommands;   /* core writes of item 6 */
    long frameRequests; /* requests on pipe 2 */
    long framesServed;  /* frames delivered in full */
} KalvexSimCounters;

/* ---- Lifetime ------------------------------------------------------------ */
/* Unplugs every camera (failing requests in flight), then restores every
 * default and zeroes counters and logs. */
void KALVEX_CALL KalvexSim_Reset(void);
/* Registers the camera's driver (a power-on: see "Power-on registers"). */
int KALVEX_CALL KalvexSim_Plug(int camera);
int KALVEX_CALL KalvexSim_Unplug(int camera);
/* 1 when plugged, 0 otherwise. */
int KALVEX_CALL KalvexSim_IsPlugged(int camera);

/* ---- Protocol engine for other carriers -------------------------------------
 * The camera side of the protocol without the simulated kernel driver, for an
 * emulator that carries it over another link (the USB tests answer emulated
 * usbdevfs requests with it). KalvexSim_Attach powers the camera up like
 * KalvexSim_Plug but leaves its device path alone (another driver may serve
 * it); KalvexSim_Unplug detaches it. A link is one open of the camera (it
 * counts as an open handle): KalvexSim_LinkTransfer serves one request on
 * pipe 0 (a 64-byte command block from the host), 1 (a reply block) or 2 (a
 * frame) exactly as "Protocol as served" says, except that there are no I/O
 * control codes to check; it returns 1 with *returned the bytes moved, or 0.
 * KalvexSim_LinkCancel fails the pending request and every later one on the
 * link, like the driver's cancel (counted in KalvexSim_GetCancels), until
 * KalvexSim_LinkResume; 0 when cancelling is off. A link of an unplugged
 * camera fails every request. Null links are refused. */
typedef struct KalvexSimLink KalvexSimLink;
int KALVEX_CALL KalvexSim_Attach(int camera);
/* Null when the camera is unknown, not plugged or its open fault fires. */
KalvexSimLink *KALVEX_CALL KalvexSim_LinkOpen(int camera);
int KALVEX_CALL KalvexSim_LinkTransfer(KalvexSimLink *link, int pipe, void *buffer,
                                       unsigned long length, unsigned long *returned);
int KALVEX_CALL KalvexSim_LinkCancel(KalvexSimLink *link);
int KALVEX_CALL KalvexSim_LinkResume(KalvexSimLink *link);
void KALVEX_CALL KalvexSim_LinkClose(KalvexSimLink *link);

/* ---- Frames and scene ------------------------------------------------------ */
/* Frames per second; 0 serves each request at once. Default 30. */
int KALVEX_CALL KalvexSim_SetFrameRate(int camera, double hz);
int KALVEX_CALL KalvexSim_SetTestPattern(int camera, int on);
int KALVEX_CALL KalvexSim_SetBackground(int camera, double celsius);
/* Index of the new spot, or -1 when KALVEX_SIM_MAX_SPOTS are set, radius < 0
 * or the camera is unknown. */
int KALVEX_CALL KalvexSim_AddSpot(int camera, int x, int y, int radius, double celsius);
int KALVEX_CALL KalvexSim_ClearSpots(int camera);
/* A spot of emissivity 0 < e <= 1 (KalvexSim_AddSpot's spots have e = 1);
 * index as KalvexSim_AddSpot, -1 also for a bad emissivity. */
int KALVEX_CALL KalvexSim_AddSpotEmissive(int camera, int x, int y, int radius, double celsius,
                                          double emissivity);
/* The reflected temperature, the path's transmission (0 < tau <= 1) and the
 * path's temperature of the scene (see "Sensor model"). */
int KALVEX_CALL KalvexSim_SetRadiometry(int camera, double reflectedCelsius, double transmission,
                                        double pathCelsius);
/* The apparent temperature the sensor sees for these values; NaN for bad
 * arguments or when none lies within -273..5000 degrees. */
double KALVEX_CALL KalvexSim_ApparentTemperature(double celsius, double emissivity,
                                                 double reflectedCelsius, double transmission,
                                                 double pathCelsius);
/* W(T) of the model (8-14 um, W m^-2 sr^-1). */
double KALVEX_CALL KalvexSim_BandRadiance(double celsius);
/* amplitude N >= 0 raw values; 0 turns temporal noise off. Uniform in -N..N,
 * the noise has a standard deviation of sqrt(N (N + 1) / 3) raw values. */
int KALVEX_CALL KalvexSim_SetTemporalNoise(int camera, int amplitude, unsigned int seed);
/* amplitude A >= 0 raw values; re-arms the pattern after a NUC. */
int KALVEX_CALL KalvexSim_SetFixedPatternNoise(int camera, int amplitude, unsigned int seed);

/* ---- Scene images -------------------------------------------------------------
 * The background can be a temperature image instead of one temperature: 640 x
 * 480 degrees Celsius, row 0 the top of the scene (sensor line 0), each row
 * left to right, and optionally an emissivity per pixel (null: 1 everywhere;
 * see "Sensor model"). The arrays are copied. Spots are still drawn over the
 * image, and KalvexSim_ClearSpots leaves it. KalvexSim_SetBackground returns
 * to the flat scene at its temperature, as does KalvexSim_Reset. Every
 * temperature must lie within -273.15..5000 degrees and every emissivity in
 * 0 < e <= 1 (NaN in neither): otherwise, and for a null celsius or an
 * unknown camera, 0 and nothing changed. Changes of the internal temperature
 * rebuild the sensor image at the cost of the raw model per pixel (about 2
 * ms); setting an image or the radiometry costs the radiometry once (under a
 * millisecond for black bodies through a clear path, otherwise tens of
 * milliseconds, more for an image spanning hundreds of degrees). */
int KALVEX_CALL KalvexSim_SetSceneImage(int camera, const float *celsius, const float *emissivity);
/* Default scale and offset of a PNG scene: hundredths of a kelvin. */
#define KALVEX_SIM_PNG_SCALE 0.01
#define KALVEX_SIM_PNG_OFFSET (-273.15)
/* The scene image from a file (narrow path: UTF-8 on POSIX), emissivity 1:
 *   a 640 x 480 16-bit greyscale PNG, whose sample v is offset + v * scale
 *     degrees (KALVEX_SIM_PNG_SCALE, KALVEX_SIM_PNG_OFFSET for hundredths of
 *     a kelvin; 0.00625 and -178.0 read the tool's png16 snapshots of this
 *     camera, raw times 4, back as the temperatures of their raw values);
 *   or a temp-f32 file, 640 * 480 little-endian float32 per frame, top row
 *     first (the kalvex tool's temp-f32 snapshots, the library's temperature
 *     recordings; a Kalvex_SaveW still of type 13 comes bottom row first
 *     unless parameter 18 is set): its first frame. scale and offset are not
 *     used.
 * 0 and nothing changed for an unknown camera, a null path, a file that does
 * not open or read in full, a PNG of another size, bit depth or colour type,
 * a temp-f32 file whose size is not a whole number of frames, and
 * temperatures out of range (the -999.0 of a pixel without a temperature
 * among them). */
int KALVEX_CALL KalvexSim_LoadSceneImageA(int camera, const char *path, double scale,
                                          double offset);
/* The built-in demo scene as the scene image: a room as an uncooled camera
 * sees it, the same image on every call (KalvexSim_DemoSceneImage gives its
 * temperatures). It also sets the temporal noise to KALVEX_SIM_DEMO_NOISE
 * (a standard deviation of 2 raw values, 50 mK), the seed unchanged; set the
 * noise afterwards for another. Regions (x, y in pixels, degrees C):
 *   wall      20.6 to 21.5, a little warmer near the top; floor below y 440
 *             about 19.4
 *   window    frame x 40-250, y 40-250, about 16-17; two panes of glass x
 *             52-139 and 151-238, y 52-238, 10.4 to 13.6, coldest at the bottom
 *   radiator  x 50-240, y 300-410: fins every 14 pixels, 45 (bottom) to 50
 *             (top), the gaps between them about 36-39; a cover strip on top
 *             (47.5), the feed pipe x 226-236 from y 410 down (about 50), warm
 *             air rising above it
 *   person    head centred on (421, 140), 46 x 58 pixels: face 34 to 36 (the
 *             inner corners of the eyes warmest, the nose cooler), hair above
 *             y 98 about 29; neck 34.5; clothes x 320-522 from y 222 down,
 *             28 to 30; hands on the desk at (300, 404) and (552, 404), 33
 *   desk      x 262-640 from y 400 down, about 22.5
 *   mug       x 572-618, y 330-402: 60 to 67, the coffee's surface at the
 *             top 69, the handle centred on (620, 362) about 45, steam above
 */
#define KALVEX_SIM_DEMO_NOISE 3
int KALVEX_CALL KalvexSim_SetDemoScene(int camera);
/* Writes the demo scene's 640 * 480 temperatures (layout as above) to
 * celsius: 1, or 0 for null. */
int KALVEX_CALL KalvexSim_DemoSceneImage(float *celsius);

/* ---- Internal temperature and drift ------------------------------------------ */
int KALVEX_CALL KalvexSim_SetInternalTemperature(int camera, double celsius);
/* coreValue 0..65535. */
int KALVEX_CALL KalvexSim_SetInternalTemperatureRaw(int camera, int coreValue);
/* The temperature the camera reports (decoded core value); 0.0 if unknown. */
double KALVEX_CALL KalvexSim_GetInternalTemperature(int camera);
/* Core value 32 as served; -1 for an unknown camera. */
int KALVEX_CALL KalvexSim_GetInternalTemperatureRaw(int camera);
/* Degrees added to the internal temperature after each frame served. */
int KALVEX_CALL KalvexSim_SetInternalTemperatureDrift(int camera, double celsiusPerFrame);
/* The drift model shared by all cameras and the table writer. */
int KALVEX_CALL KalvexSim_SetDriftModel(double slope, double intercept, double calibrationCelsius);
/* Noise-free raw value of a scene temperature at the camera's internal
 * temperature, before fpn; -1 for an unknown camera. */
int KALVEX_CALL KalvexSim_RawForTemperature(int camera, double celsius);
/* The calibration line: (raw - R0) / GAIN + T0. */
double KALVEX_CALL KalvexSim_TemperatureForRaw(int raw);

/* ---- Trigger input ----------------------------------------------------------- */
/* Sets the level of register 7 bit 2 (nonzero: set) and cancels a pulse. */
int KALVEX_CALL KalvexSim_SetTriggerLevel(int camera, int high);
/* The next afterReads reads of register 7 show the current level, the
 * following highReads (>= 1) reads show bit 2 set, and later reads show it
 * clear (the level is then clear). */
int KALVEX_CALL KalvexSim_ScheduleTriggerPulse(int camera, int afterReads, int highReads);

/* ---- Faults ------------------------------------------------------------------ */
int KALVEX_CALL KalvexSim_InjectFault(int camera, int fault, int times);
/* Clears every fault of the camera and releases stalled requests. */
int KALVEX_CALL KalvexSim_ClearFaults(int camera);
/* Lets stalled requests go on (served normally); the fault stays armed. */
int KALVEX_CALL KalvexSim_ReleaseStalls(int camera);
/* Waits until at least count requests (any pipe) are blocked in a stall: 1,
 * or 0 on time-out (timeoutMs < 0: no limit). */
int KALVEX_CALL KalvexSim_WaitStalled(int camera, int count, int timeoutMs);

/* ---- Latency, aimed faults and cancellation ------------------------------------ */
/* Every request on pipe 0, 1 or 2 waits milliseconds (>= 0; default 0) before
 * it is served; unplugging or cancelling ends the wait with failure. Frame
 * pacing comes on top. */
int KALVEX_CALL KalvexSim_SetLatency(int camera, int pipe, int milliseconds);
/* Aims the command and reply faults (fail, short, stall) at one opcode: they
 * then apply only to command blocks with that opcode and to the replies such
 * commands queued, and other blocks pass without using up an occurrence.
 * -1 (the default) aims them at every opcode. opcode -1..255. */
int KALVEX_CALL KalvexSim_SetFaultOpcode(int camera, int opcode);
/* on 0: the driver's cancel entry fails and changes nothing, like a driver
 * that cannot cancel; nonzero (the default): cancels work. */
int KALVEX_CALL KalvexSim_SetCancellable(int camera, int on);
/* Requests blocked in a stall now; -1 for an unknown camera. */
int KALVEX_CALL KalvexSim_GetStalled(int camera);
/* Cancels received through the driver's cancel entry; -1 for an unknown camera. */
long KALVEX_CALL KalvexSim_GetCancels(int camera);

/* ---- Read-back ----------------------------------------------------------------- */
/* Register 0..255: its value as the camera would answer (register 7 without
 * consuming a pulse step); -1 for bad arguments. */
int KALVEX_CALL KalvexSim_ReadRegister(int camera, int reg);
/* Sets a register as a command would. */
int KALVEX_CALL KalvexSim_WriteRegister(int camera, int reg, int value);
/* Core item 0..255 as the camera would answer; -1 for bad arguments. */
int KALVEX_CALL KalvexSim_ReadCoreValue(int camera, int item);
int KALVEX_CALL KalvexSim_GetCounters(int camera, KalvexSimCounters *counters);
/* Copies up to maxBlocks of the last KALVEX_SIM_LOG_BLOCKS executed command
 * blocks, oldest first, 64 bytes each; returns the number copied, -1 for bad
 * arguments. */
int KALVEX_CALL KalvexSim_GetCommandLog(int camera, unsigned char *blocks, int maxBlocks);
int KALVEX_CALL KalvexSim_ClearCommandLog(int camera);

/* ---- Replay -------------------------------------------------------------------
 * A camera can serve a radiometric sequence (kalvex_sequence.h) instead of its
 * scene: frame i of the recording becomes the sensor image of the i-th frame
 * served, through the window and sample depth the host programmed, as the
 * camera sends frames (no fixed-pattern or temporal noise is added: recorded
 * frames carry their own). Frames follow the recorded pace (the gap between
 * the recorded times, at most 1 s so that a paused recording does not look
 * like a dead camera) or, with hz > 0, that fixed rate; the frame rate of
 * KalvexSim_SetFrameRate is ignored while replaying. Core value 32 follows
 * the internal temperature recorded with each frame (it takes the first
 * frame's at once, so a library instance created after this call starts
 * from it). NUC commands are accepted and change nothing. After the last
 * frame the recording starts over with KALVEX_SIM_REPLAY_LOOP; without it the
 * camera falls silent: frame requests wait (as for a camera that stopped)
 * until the replay is stopped or the camera unplugged or cancelled.
 * With KALVEX_SIM_REPLAY_STEP the camera serves a recorded frame only when
 * KalvexSim_ReplayStep allows it (frames = how many more), with no pace: a
 * host that must see every frame (a converter) lets them out one at a time.
 * Replay is a setting of the simulation: it survives unplug and plug (the
 * recording restarts at its first frame on each plug) and ends with
 * KalvexSim_StopReplay, KalvexSim_Reset or another KalvexSim_Replay.
 * Results: 1; 0 for an unknown camera, a null path, hz < 0 or not finite, or
 * unknown options; a negative KALVEX_SEQ_E_ code of kalvex_sequence.h when
 * the file is refused (nothing changed then). */
#define KALVEX_SIM_REPLAY_LOOP 1
#define KALVEX_SIM_REPLAY_STEP 2
int KALVEX_CALL KalvexSim_ReplayA(int camera, const char *path, double hz, int options);
int KALVEX_CALL KalvexSim_ReplayW(int camera, const wchar_t *path, double hz, int options);
/* Lets frames (>= 0) more recorded frames out in step mode; 0 when the camera
 * is not replaying. */
int KALVEX_CALL KalvexSim_ReplayStep(int camera, int frames);
/* The next frame served is recorded frame index (0..frames - 1), its internal
 * temperature served at once; 0 when not replaying or out of range. */
int KALVEX_CALL KalvexSim_ReplaySeek(int camera, int index);
/* Back to the synthetic scene; 1 also when the camera was not replaying. */
int KALVEX_CALL KalvexSim_StopReplay(int camera);
typedef struct KalvexSimReplayState {
    int active;   /* 1 while a recording is set */
    int frames;   /* frames in the recording */
    int next;     /* index of the next frame to serve */
    long served;  /* recorded frames served since KalvexSim_Replay */
    int loops;    /* times the recording started over */
    int finished; /* 1 when the last frame was served and there is no loop */
} KalvexSimReplayState;
int KALVEX_CALL KalvexSim_GetReplayState(int camera, KalvexSimReplayState *state);

/* ---- Calibration tables -------------------------------------------------------- */
/* Writes a temperature table file (narrow path: UTF-8 on POSIX) matching the
 * model at the calibration temperature.
 * layout 0 (headerless) and 4: count >= 2 points whose raw values are evenly
 *   spaced (rounded) from base(minCelsius) to base(maxCelsius), each with the
 *   temperature of its raw value on the calibration line; count must not
 *   exceed the number of distinct raw values in that range. Version 4 also
 *   carries Tcal, a and b of the drift model (reserved fields 0).
 * layouts 1 to 3: count points (1..16384), point m for raw value m with its
 *   temperature, or -999.0 outside minCelsius..maxCelsius. Version 2 holds one
 *   table (N = 1, at offset 32); version 3's reserved word is 0. */
int KALVEX_CALL KalvexSim_WriteTable(const char *path, int layout, int count, double minCelsius,
                                     double maxCelsius);

#ifdef __cplusplus
}
#endif

#endif /* KALVEX_SIM_H */
