import assert from 'node:assert/strict';
import { it } from 'node:test';

import { toBrowserBounds, toDeviceBounds } from '../lib/display.js';

// What Chromium does with a window's units: the pixels enclosing them,
// ignoring its float factor's rounding error.
function placed(b, scale) {
  const left = Math.floor(b.left * scale + 1e-3);
  const top = Math.floor(b.top * scale + 1e-3);
  const right = Math.ceil((b.left + b.width) * scale - 1e-3);
  const bottom = Math.ceil((b.top + b.height) * scale - 1e-3);
  return { left, top, width: right - left, height: bottom - top };
}

const rect = (left, top, width, height) => ({ left, top, width, height });

it('device pixels map to the browser units that land inside them, exactly where units can say so', () => {
  const rows = [
    // scale, asked in pixels, units sent, where the window lands
    [1, rect(384, 0, 1536, 1080), rect(384, 0, 1536, 1080), rect(384, 0, 1536, 1080)],
    [1.5, rect(384, 0, 1536, 1080), rect(256, 0, 1024, 720), rect(384, 0, 1536, 1080)],
    // 384 px is 307.2 units: one pixel short beats one over the sidebar.
    [1.25, rect(384, 0, 1536, 1080), rect(308, 0, 1228, 864), rect(385, 0, 1535, 1080)],
    [1.25, rect(385, 10, 1000, 500), rect(308, 8, 800, 400), rect(385, 10, 1000, 500)],
    [2, rect(-1921, 1, 3, 3), rect(-960, 1, 1, 1), rect(-1920, 2, 2, 2)],
    // The browser's float factor read back as a double.
    [1.100000023841858, rect(1100, 0, 1100, 550), rect(1000, 0, 1000, 500), rect(1100, 0, 1100, 550)],
  ];
  for (const [scale, device, units, lands] of rows) {
    const label = `${scale} ${JSON.stringify(device)}`;
    assert.deepEqual(toBrowserBounds(device, scale), units, label);
    assert.deepEqual(placed(units, scale), lands, label);
  }
});

it('reported units map back to the pixels the window covers', () => {
  const rows = [
    [1.5, rect(256, 0, 1024, 720), rect(384, 0, 1536, 1080)],
    // Chromium reports pixels 383..1920 at 1.25 as units 306..1536.
    [1.25, rect(306, 0, 1230, 864), rect(383, 0, 1537, 1080)],
    [1.25, rect(308, 0, 1228, 864), rect(385, 0, 1535, 1080)],
    [1.100000023841858, rect(1000, 0, 1000, 500), rect(1100, 0, 1100, 550)],
  ];
  for (const [scale, units, device] of rows) {
    assert.deepEqual(toDeviceBounds(units, scale), device, `${scale} ${JSON.stringify(units)}`);
  }
});
