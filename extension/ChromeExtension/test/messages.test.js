import assert from 'node:assert/strict';
import { it } from 'node:test';

import { browserTarget, slackTarget, tabState, windowState } from '../lib/messages.js';

it('slackTarget reads what each kind of Slack address carries', () => {
  const rows = [
    [
      'https://team.slack.com/archives/C1/p1700000000000100',
      { channelID: 'C1', messageTS: '1700000000.000100' },
    ],
    [
      'https://team.slack.com/archives/C1/p1700000000000100?thread_ts=1699999999.000200&cid=C1',
      { channelID: 'C1', messageTS: '1700000000.000100' },
    ],
    ['https://team.slack.com/archives/C1', { channelID: 'C1' }],
    ['https://app.slack.com/client/T1/C2', { teamID: 'T1', channelID: 'C2' }],
    [
      'https://app.slack.com/client/T1/C2/thread/C2-1700000000.000100',
      { teamID: 'T1', channelID: 'C2', messageTS: '1700000000.000100' },
    ],
    ['https://team.slack.com/', {}],
    ['not a url', {}],
  ];
  for (const [address, ids] of rows) {
    assert.deepEqual(slackTarget(address), { permalinkURL: address, preferredOpenMode: 'browserPermalink', ...ids }, address);
  }
});

it('optional keys are left out rather than sent empty', () => {
  const tab = { id: 1, windowId: 2, index: 0, active: false, title: 'T', url: 'https://a.example/', favIconUrl: '' };
  assert.deepEqual(tabState(tab), { id: 1, windowID: 2, title: 'T', url: 'https://a.example/', isActive: false });
  assert.deepEqual(browserTarget({ url: '', pendingUrl: 'https://p.example/' }), {
    url: 'https://p.example/',
    titleSnapshot: '',
    preferredOpenMode: 'existingTab',
  });
  assert.deepEqual(windowState({ id: 3, left: 0, top: 0, width: undefined, height: 5 }, 1), { id: 3, tabs: [] });
});
