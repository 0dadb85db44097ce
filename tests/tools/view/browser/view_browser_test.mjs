// Drives `kalvex view` on the simulated camera from headless Chromium:
//   node view_browser_test.mjs KALVEX_PROGRAM ARTEFACT_DIR
// The image must update, the readout over a 37.0 °C spot must read 37.0 ± 0.1,
// a box drawn with the mouse over the 80 °C disc must list 80.0 °C as its
// maximum, an alarm on it must be listed as raised, the colour bar and the
// histogram must follow the palette, NUC, pause and snapshot must work, the counts of lost, held and paused frames
// must show, and the page must come back by itself after the viewer restarts; a
// screenshot is left in ARTEFACT_DIR/view.png.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

const [program, artefacts] = process.argv.slice(2);
if (!program || !artefacts) {
  console.error("usage: node view_browser_test.mjs KALVEX_PROGRAM ARTEFACT_DIR");
  process.exit(2);
}
const CHROMIUM = process.env.KALVEX_CHROMIUM || "/usr/bin/chromium";
fs.rmSync(artefacts, { recursive: true, force: true });
const downloads = path.join(artefacts, "downloads");
fs.mkdirSync(downloads, { recursive: true });

let passed = 0, failed = 0;
function check(name, ok, detail = "") {
  if (ok) { passed++; console.log("ok - " + name); }
  else { failed++; console.log("not ok - " + name + (detail ? ": " + detail : "")); }
}
async function until(what, fn, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// A hot, a cold and a 37.0 °C disc; a little temporal noise so that every
// frame differs and an updating image can be told from a still one.
function startViewer(port) {
  const child = spawn(program, ["view", "--sim", "--port", String(port), "--seconds", "120", "--noise", "2",
    "--spot", "200,240,50,37", "--spot", "470,120,35,80", "--spot", "500,380,40,5",
    "--out", path.join(artefacts, "recordings")], { stdio: ["ignore", "pipe", "inherit"] });
  child.output = "";
  child.stdout.on("data", (d) => { child.output += d; });
  child.exited = new Promise((r) => child.on("exit", (code, signal) => r({ code, signal })));
  return child;
}
async function stopViewer(child) {
  child.kill("SIGINT");
  const end = await Promise.race([child.exited, new Promise((r) => setTimeout(() => r(null), 10000))]);
  if (!end) child.kill("SIGKILL");
  return end;
}
let viewer = startViewer(0);

let browser;
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "kalvex-view-chromium-"));
try {
  const address = await until("the address", () => (viewer.output.match(/open\s+(http:\S+)/) || [])[1], 20000);
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 620 });
  const cdp = await page.createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.goto(address, { waitUntil: "domcontentloaded" });

  // The image updates: two draws of the live image some frames apart differ.
  const grab = () => page.evaluate(() => {
    const img = document.getElementById("live");
    if (!img.complete || img.naturalWidth !== 640) return null;
    const c = document.createElement("canvas");
    c.width = 640; c.height = 480;
    const ctx = c.getContext("2d");
    ctx.drawImage(img, 0, 0);
    const d = ctx.getImageData(0, 0, 640, 480).data;
    let sum = 0;
    for (let i = 0; i < d.length; i += 7) sum = (sum * 31 + d[i]) >>> 0;
    return sum;
  });
  const first = await until("a first frame", grab, 20000);
  let changed = false;
  try { changed = await until("a newer frame", async () => { const g = await grab(); return g !== null && g !== first; }, 5000); } catch (e) { /* reported below */ }
  check("the live image updates", !!changed);

  // The readout under the pointer over the 37.0 °C disc.
  const box = await (await page.$("#live")).boundingBox();
  await page.mouse.move(box.x + 200 * box.width / 640 + 0.5, box.y + 240 * box.height / 480 + 0.5);
  let reading = NaN;
  try {
    reading = await until("a temperature under the pointer", async () => {
      const t = parseFloat(await page.$eval("#readout", (e) => e.textContent));
      return isFinite(t) ? t : null;
    });
  } catch (e) { /* reported below */ }
  check("the pointer over the 37.0 °C spot reads 37.0 ± 0.1", Math.abs(reading - 37.0) <= 0.1, "read " + reading);
  const hot = await page.$eval("#s-max", (e) => e.textContent);
  check("the hottest pixel is the 80 °C disc", /^80\.0 °C/.test(hot), hot);

  // A box drawn with the mouse over the 80 °C disc (470, 120, radius 35)
  // lists that disc's temperature as its maximum.
  const pixel = (x, y) => [box.x + (x + 0.5) * box.width / 640, box.y + (y + 0.5) * box.height / 480];
  await page.click("#tool-box");
  await page.mouse.move(...pixel(440, 90));
  await page.mouse.down();
  await page.mouse.move(...pixel(500, 150), { steps: 4 });
  await page.mouse.up();
  await page.click("#tool-none");
  const boxMax = await until("the box's statistics", () => page.evaluate(() => {
    const cell = document.querySelector('#rois tr[data-roi="box1"] .max');
    return cell && /\d/.test(cell.textContent) ? cell.textContent : null;
  })).catch(() => "");
  // The scene's temporal noise is a few hundredths of a degree.
  check("a box drawn over the 80 °C disc reads its maximum, 80.0 ± 0.1 °C",
    /^\d+\.\d °C$/.test(boxMax) && Math.abs(parseFloat(boxMax) - 80) <= 0.1, boxMax);
  // An alarm on it rises at once, and the page lists the event.
  await page.select("#al-roi", "box1");
  await page.type("#al-t", "60");
  await page.click("#al-add");
  const raised = await until("the alarm's event", () => page.$eval("#alarm-events",
    (e) => (e.firstElementChild ? e.firstElementChild.textContent : null)), 5000).catch(() => "");
  const at = (raised.match(/ raised at (\d+\.\d) °C$/) || [])[1];
  check("an alarm above 60 °C on the box is listed as raised at 80.0 ± 0.1 °C", Math.abs(at - 80) <= 0.1, raised);
  // The colour bar and the histogram follow the palette chosen.
  await page.select("#palette", "white-hot");
  const bar = await until("the white-hot bar", () => page.$eval("#scale",
    (e) => (e.dataset.colors === "000000ffffff" ? e.dataset.colors : null)), 5000).catch(() => "");
  check("the colour bar follows the palette (white-hot: black to white)", bar === "000000ffffff", bar);
  // The histogram is redrawn with the next measurement after the bar changes.
  const drawn = () => page.evaluate(() => {
    const c = document.getElementById("histogram");
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let grey = 0, coloured = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3]) (d[i] === d[i + 1] && d[i + 1] === d[i + 2] ? grey++ : coloured++);
    return { grey, coloured };
  });
  const histogram = await until("the white-hot histogram", async () => {
    const h = await drawn();
    return h.grey > 0 && h.coloured === 0 ? h : null;
  }, 5000).catch(() => drawn());
  check("the histogram is drawn in the palette's colours", histogram.grey > 0 && histogram.coloured === 0,
    JSON.stringify(histogram));

  // NUC.
  await page.click("#nuc");
  const nuc = await until("the NUC answer", () => page.$eval("#message", (e) => e.textContent), 10000).catch(() => "");
  check("the NUC button performs a NUC", nuc === "NUC performed", nuc);

  // The figures from the frames' metadata: whole numbers, and the NUCs' holds
  // (the table's at the start, 1.2 s) counted as held.
  const figures = () => page.evaluate(() => Object.fromEntries(["s-fps", "s-frames", "s-lost", "s-held", "s-paused"]
    .map((id) => [id.slice(2), document.getElementById(id).textContent])));
  let shown = await figures();
  check("the page shows frames, lost, held and paused as whole numbers",
    ["frames", "lost", "held", "paused"].every((k) => /^\d+$/.test(shown[k])) && +shown.held > 0, JSON.stringify(shown));
  check("the frame rate is the frames' own", /^\d+\.\d\d fps$/.test(shown.fps), shown.fps);
  // Paused for a second: the camera's frames meanwhile count as paused, not lost.
  await page.click("#pause");
  await until("the pause", () => page.$eval("#pause", (e) => e.textContent === "Resume"), 5000).catch(() => {});
  await new Promise((r) => setTimeout(r, 1000));
  await page.click("#pause");
  let resumed = shown;
  try {
    resumed = await until("paused frames", async () => { const f = await figures(); return +f.paused > 0 ? f : null; }, 5000);
  } catch (e) { resumed = await figures(); }
  check("a pause counts the frames the camera sent meanwhile as paused",
    +resumed.paused >= 10 && +resumed.lost - +shown.lost < 10, JSON.stringify(resumed));

  // Snapshot: a PNG and the temperature array arrive as downloads.
  await page.click("#snapshot");
  const done = () => {
    const names = fs.readdirSync(downloads);
    const png = names.find((n) => n.endsWith(".png"));
    const f32 = names.find((n) => n.endsWith(".temp-f32"));
    return png && f32 && !names.some((n) => n.endsWith(".crdownload")) ? { png, f32 } : null;
  };
  let files = null;
  try { files = await until("the snapshot downloads", done, 15000); } catch (e) { /* below */ }
  if (files) {
    const message = await page.$eval("#message", (e) => e.textContent);
    const id = (message.match(/^snapshot of frame (\d+):/) || [])[1];
    check("the snapshot files carry the frame's id as an unsigned number",
      id !== undefined && files.png === "kalvex-" + id + ".png" && files.f32 === "kalvex-" + id + ".temp-f32" && +id < 2 ** 32,
      message + " / " + files.png);
    const png = fs.readFileSync(path.join(downloads, files.png));
    check("the snapshot PNG is a PNG", png.subarray(1, 4).toString() === "PNG");
    const f32 = fs.readFileSync(path.join(downloads, files.f32));
    const at = (x, y) => f32.readFloatLE((y * 640 + x) * 4);
    check("the snapshot temperatures hold the frame, top row first",
      f32.length === 640 * 480 * 4 && Math.abs(at(200, 240) - 37) <= 0.1 && Math.abs(at(470, 120) - 80) <= 0.1,
      "size " + f32.length);
  } else {
    check("the snapshot button downloads a PNG and the temperatures", false);
  }

  // Move the pointer back over the spot for the picture.
  await page.mouse.move(box.x + 200 * box.width / 640, box.y + 240 * box.height / 480);
  await new Promise((r) => setTimeout(r, 500));
  await page.screenshot({ path: path.join(artefacts, "view.png") });
  check("a screenshot was saved", fs.existsSync(path.join(artefacts, "view.png")));

  // The viewer restarts on the same port: the page notices and comes back by itself.
  const stopped = await stopViewer(viewer);
  check("kalvex view stops cleanly on Ctrl-C", stopped && stopped.code === 0, JSON.stringify(stopped));
  const conn = () => page.$eval("#conn", (e) => e.textContent);
  await until("the page to notice", async () => (await conn()) !== "connected", 10000).catch(() => {});
  viewer = startViewer(new URL(address).port);
  let back = false;
  try {
    await until("the page to reconnect", async () => (await conn()) === "connected", 20000);
    const before = await until("a frame after the restart", grab, 20000);
    back = await until("frames after the restart", async () => { const g = await grab(); return g !== null && g !== before; }, 10000);
  } catch (e) { /* reported below */ }
  check("the page reconnects by itself when the viewer restarts", !!back);
} catch (e) {
  check("the browser session ran", false, e.message);
} finally {
  if (browser) await browser.close().catch(() => {});
  if (viewer.exitCode === null && viewer.signalCode === null) await stopViewer(viewer);
  fs.rmSync(profile, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
