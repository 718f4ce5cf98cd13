// Binds the page's state to the document: the endpoint list, the driver version and the buttons.
'use strict';

(function () {
  function post(body) {
    window.webkit.messageHandlers.msgJStoObjC.postMessage(body);
  }

  function render() {
    const list = document.getElementById('devices');
    list.replaceChildren();
    for (const device of gApp.appdata.networkDeviceList.devices()) {
      const item = document.createElement('li');
      item.textContent = device.deviceName + ' \u2014 ' + device.model + ' (' + device.ip + ')';
      list.appendChild(item);
    }
    document.getElementById('empty').hidden = list.children.length > 0;
    document.getElementById('version').textContent = gApp.appdata.driverVersion || 'unknown';
  }

  window.gApp = createMixerApp(post, render);
  const actions = {
    save: () => gApp.savePreset(),
    load: () => gApp.loadPreset(),
    pyx: () => gApp.openPyxUpdater(),
    wrenlet: () => gApp.openWrenletUpdater(),
    driver: () => gApp.openDriverPage(),
  };
  for (const [id, action] of Object.entries(actions)) {
    document.getElementById(id).addEventListener('click', action);
  }
  render();
  gApp.start();
})();
