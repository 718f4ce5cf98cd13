// The shipped page script under node, with the host's message handler stubbed: it posts "FD5Init"
// and then "start" when it starts, its list follows the host's calls exactly, its presets come
// back byte for byte, and its own saved preset carries the host's marker.
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');

const [callsFile, pageFolder] = process.argv.slice(2);
const { createMixerApp } = require(path.resolve(pageFolder, 'mixer-app.js'));
const recorded = JSON.parse(fs.readFileSync(callsFile, 'utf8'));

const posted = [];
const window = { webkit: { messageHandlers: { msgJStoObjC: { postMessage: (body) => posted.push(body) } } } };
const gApp = createMixerApp((body) => window.webkit.messageHandlers.msgJStoObjC.postMessage(body), () => {});

gApp.start();
assert.deepStrictEqual(posted, ['FD5Init', 'start']);

// The host's calls are evaluated as scripts in the page's scope.
const evaluate = new Function('gApp', 'script', 'eval(script)');
for (const step of recorded.steps) {
  for (const call of step.calls) {
    evaluate(gApp, call);
  }
  const names = gApp.appdata.networkDeviceList.devices().map((device) => device.deviceName).sort();
  assert.deepStrictEqual(names, [...step.names].sort());
}

for (const preset of recorded.presets) {
  evaluate(gApp, preset.call);
  assert.strictEqual(gApp.appdata.preset, preset.text);
}

posted.length = 0;
gApp.savePreset();
assert.ok(posted[0].startsWith('savePreset_wrn&'));
assert.ok(posted[0].includes('kAPIVersion'));
console.log('page script: ' + recorded.steps.length + ' discovery steps and ' + recorded.presets.length + ' presets match');
