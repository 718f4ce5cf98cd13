// The page's state and its calls from the host, without the document: the endpoint list, the
// driver version and the preset. The host calls gApp.appdata.*; the page posts to the host through
// the one message handler.
'use strict';

function decodeBase64Utf8(base64) {
  const binary = atob(base64);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) {
    bytes[i] = binary.charCodeAt(i);
  }
  return new TextDecoder('utf-8', { fatal: true }).decode(bytes);
}

function createMixerApp(postToHost, onChange) {
  const devices = new Map(); // keyed by the whole record text
  const app = {
    appdata: {
      driverVersion: '',
      preset: '',
      updater: {
        updateDriverVersion(text) {
          app.appdata.driverVersion = text;
          onChange();
        },
      },
      networkDeviceList: {
        discoveryAdd(base64) {
          const text = decodeBase64Utf8(base64);
          devices.set(text, JSON.parse(text));
          onChange();
        },
        discoveryRemove(base64) {
          devices.delete(decodeBase64Utf8(base64));
          onChange();
        },
        devices() {
          return Array.from(devices.keys()).sort().map((key) => devices.get(key));
        },
      },
      datastore: {
        applyPreset(base64) {
          app.appdata.preset = decodeURIComponent(decodeBase64Utf8(base64));
          onChange();
        },
        // The page's own preset text; it carries the marker the host looks for.
        currentPreset() {
          return app.appdata.preset !== '' ? app.appdata.preset : 'kAPIVersion=1';
        },
      },
    },
    start() {
      postToHost('FD5Init');
      postToHost('start');
    },
    savePreset() {
      postToHost('savePreset_wrn&' + app.appdata.datastore.currentPreset());
    },
    loadPreset() {
      postToHost('loadPreset_wrn');
    },
    openPyxUpdater() {
      postToHost('open Pyx');
    },
    openWrenletUpdater() {
      postToHost('open wrn');
    },
    openDriverPage() {
      postToHost('driver');
    },
  };
  return app;
}

if (typeof module !== 'undefined') {
  module.exports = { createMixerApp };
}
