// Service worker of the TarniBar companion extension.
import { createExtension } from './lib/extension.js';

const extension = createExtension(chrome);
extension.start();
// Reachable from the service worker's console (and from tests driving the
// browser) to run the same path as the context-menu entry.
globalThis.tarniBar = extension;
