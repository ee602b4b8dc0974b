// Hidden document that tells the service worker the browser's scale factor.
import { SCALE_QUERY } from './lib/display.js';

chrome.runtime.onMessage.addListener((message, sender, reply) => {
  if (message?.type === SCALE_QUERY) reply(window.devicePixelRatio);
});
