// Hidden document that tells the service worker the browser's scale factor.
chrome.runtime.onMessage.addListener((message, sender, reply) => {
  if (message?.type === 'deviceScaleFactor') reply(window.devicePixelRatio);
});
