// Background of the TarniBar companion extension: Chromium's service worker,
// Firefox's background page (the same file in both builds).
import { createExtension } from './lib/extension.js';

// Firefox's promise-based API is `browser`; Chromium's is `chrome`.
const extension = createExtension(globalThis.browser ?? chrome);
extension.start();
// Reachable from the background's console (and from tests driving the
// browser) to run the same path as the context-menu entry.
globalThis.tarniBar = extension;
