// Window bounds on the wire are in the X server's device pixels; the windows
// API speaks the browser's device-independent units. Chromium maps a window's
// units to the pixels enclosing them (left and top rounded down, right and
// bottom up), and reports a window as the units enclosing its pixels.

// Chromium's scale factor is a float; its doubles land a hair off whole values.
const SLACK = 1e-3;
// (+ 0 turns the -0 of Math.ceil(-0.001) into 0.)
const up = (value) => Math.ceil(value - SLACK) + 0;
const down = (value) => Math.floor(value + SLACK);

// The largest window in browser units that stays inside `bounds` once the
// browser maps it to pixels: exactly `bounds` wherever units can express it,
// otherwise a pixel short rather than a pixel over a neighbour.
export function toBrowserBounds(bounds, scale) {
  const left = up(bounds.left / scale);
  const top = up(bounds.top / scale);
  const right = down((bounds.left + bounds.width) / scale);
  const bottom = down((bounds.top + bounds.height) / scale);
  return { left, top, width: Math.max(1, right - left), height: Math.max(1, bottom - top) };
}

// The pixels of a window the browser reports in units: those its enclosing
// units cover, and no more.
export function toDeviceBounds(bounds, scale) {
  const left = up(bounds.left * scale);
  const top = up(bounds.top * scale);
  const right = down((bounds.left + bounds.width) * scale);
  const bottom = down((bounds.top + bounds.height) * scale);
  return { left, top, width: right - left, height: bottom - top };
}

export const SCALE_QUERY = 'deviceScaleFactor';
const SCALE_DOCUMENT = 'display.html';

function checkedScale(scale) {
  if (typeof scale !== 'number' || !Number.isFinite(scale) || scale <= 0) {
    throw new Error("Cannot read the browser's display scale");
  }
  return scale;
}

// Where the background runs in a document (Firefox's background page), that
// document's devicePixelRatio is the factor. A service worker (Chromium) has
// none, and chrome.system.display leaves the native modes empty on Linux; a
// hidden document of ours reads it. The browser applies one scale factor to
// all displays on X11. The document stays open so that each reading is a
// message, and always the current factor.
export function browserScaleFactor(chrome, background = globalThis) {
  if (typeof background.devicePixelRatio === 'number') {
    return async () => checkedScale(background.devicePixelRatio);
  }
  let opening = null;
  async function ask() {
    try {
      return await chrome.runtime.sendMessage({ type: SCALE_QUERY });
    } catch {
      return undefined; // no document yet
    }
  }
  return async () => {
    let scale = await ask();
    if (scale === undefined && chrome.offscreen) {
      opening ??= chrome.offscreen
        .createDocument({
          url: SCALE_DOCUMENT,
          reasons: ['MATCH_MEDIA'],
          justification: 'Reads the display scale to place windows in screen pixels',
        })
        // Another call may have opened it meanwhile; asking again tells.
        .catch(() => {})
        .finally(() => {
          opening = null;
        });
      await opening;
      scale = await ask();
    }
    return checkedScale(scale);
  };
}
