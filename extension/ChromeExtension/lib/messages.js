// The message formats shared with the native host and the application: an
// envelope {id, message} whose message is a command, an event or a response.
import { toDeviceBounds } from './display.js';

// Upper-case canonical UUID text, as the application writes identifiers.
export function newEnvelopeId(randomUUID = () => crypto.randomUUID()) {
  return randomUUID().toUpperCase();
}

// The window's bounds in device pixels, given the browser's scale factor.
export function bounds(win, scale) {
  const { left, top, width, height } = win;
  if ([left, top, width, height].every(Number.isInteger)) {
    return toDeviceBounds({ left, top, width, height }, scale);
  }
  return undefined;
}

export function tabState(tab) {
  const state = {
    id: tab.id,
    windowID: tab.windowId,
    title: tab.title ?? '',
    url: tab.url || tab.pendingUrl || '',
    isActive: Boolean(tab.active),
  };
  if (tab.favIconUrl) state.favIconURL = tab.favIconUrl;
  return state;
}

export function windowState(win, scale) {
  // Without the factor the bounds would silently be the browser's units.
  if (typeof scale !== 'number') throw new Error('windowState needs the scale factor');
  const state = { id: win.id };
  const frame = bounds(win, scale);
  if (frame) state.bounds = frame;
  state.tabs = [...(win.tabs ?? [])].sort((a, b) => a.index - b.index).map(tabState);
  return state;
}

// A BrowserTarget as the application stores it.
export function browserTarget(tab) {
  const target = {
    url: tab.url || tab.pendingUrl || '',
    titleSnapshot: tab.title ?? '',
    preferredOpenMode: 'existingTab',
  };
  if (tab.favIconUrl) target.favIconURL = tab.favIconUrl;
  return target;
}

// A SlackTarget for a Slack address: the permalink itself plus whatever
// identifiers the address carries (team, channel, message timestamp).
export function slackTarget(address) {
  const target = { permalinkURL: address, preferredOpenMode: 'browserPermalink' };
  let url;
  try {
    url = new URL(address);
  } catch {
    return target;
  }
  const parts = url.pathname.split('/').filter(Boolean);
  if (parts[0] === 'archives' && parts[1]) {
    // https://team.slack.com/archives/C123/p1700000000000100
    target.channelID = parts[1];
    const match = /^p(\d{7,})$/.exec(parts[2] ?? '');
    if (match) {
      const digits = match[1];
      target.messageTS = `${digits.slice(0, -6)}.${digits.slice(-6)}`;
    }
    const threadTs = url.searchParams.get('thread_ts');
    if (threadTs && !target.messageTS) target.messageTS = threadTs;
  } else if (parts[0] === 'client' && parts[1]) {
    // https://app.slack.com/client/T123/C456[/thread/C456-1700000000.000100]
    target.teamID = parts[1];
    if (parts[2]) target.channelID = parts[2];
    if (parts[3] === 'thread' && parts[4]) {
      const dash = parts[4].lastIndexOf('-');
      if (dash > 0) target.messageTS = parts[4].slice(dash + 1);
    }
  }
  return target;
}
