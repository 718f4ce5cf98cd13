// The mixer's page as a user sees it: loaded from the assembled bundle in the system's headless
// browser, with the host's message handler stood in for before the page's scripts run. It posts
// "FD5Init" then "start", lists what the host adds and removes, applies a preset and saves it
// back, raises no console error or uncaught exception, and leaves a screenshot for a person.
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [pagePath, screenshotPath] = process.argv.slice(2);

function record(fields) {
  return Buffer.from(JSON.stringify(fields, Object.keys(fields).sort()), 'utf8').toString('base64');
}

function presetPayload(text) {
  return Buffer.from(encodeURIComponent(text), 'utf8').toString('base64');
}

async function main() {
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--allow-file-access-from-files'],
  });
  const problems = [];
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1140, height: 820 });
    page.on('console', (message) => {
      if (message.type() === 'error') {
        problems.push('console error: ' + message.text());
      }
    });
    page.on('pageerror', (error) => problems.push('uncaught exception: ' + error.message));
    await page.evaluateOnNewDocument(() => {
      window.__posted = [];
      window.webkit = { messageHandlers: { msgJStoObjC: { postMessage: (body) => window.__posted.push(body) } } };
    });
    await page.goto('file://' + path.resolve(pagePath));
    assert.deepStrictEqual(await page.evaluate(() => window.__posted), ['FD5Init', 'start']);

    const studio = { deviceName: 'Caf\u00e9 \u6df7\u97f3 \u{1F39B}', hostname: 'studio', ip: '127.0.0.1:8080',
                     model: 'Brio', serial: 'BR1' };
    const stage = { deviceName: 'Stage', hostname: 'stage', ip: '127.0.0.2:8080', model: 'Tenor', serial: 'TN2' };
    const booth = { deviceName: 'Booth', hostname: 'booth', ip: '127.0.0.3:8080', model: 'Basso', serial: 'BS3' };
    await page.evaluate((a, b, c) => {
      gApp.appdata.updater.updateDriverVersion('2.0.0+95035');
      gApp.appdata.networkDeviceList.discoveryAdd(a);
      gApp.appdata.networkDeviceList.discoveryAdd(b);
      gApp.appdata.networkDeviceList.discoveryAdd(c);
    }, record(studio), record(stage), record(booth));
    await page.screenshot({ path: screenshotPath });

    await page.evaluate((b) => gApp.appdata.networkDeviceList.discoveryRemove(b), record(stage));
    const listed = await page.$$eval('#devices li', (items) => items.map((item) => item.textContent));
    assert.strictEqual(listed.length, 2);
    assert.ok(listed.some((text) => text.includes(studio.deviceName)), 'non-ASCII name intact: ' + listed);
    assert.ok(listed.some((text) => text.includes('Booth')));
    assert.ok(!listed.some((text) => text.includes('Stage')));

    const preset = 'kAPIVersion=1&gain=+3&note=50% caf\u00e9';
    await page.evaluate((b64) => gApp.appdata.datastore.applyPreset(b64), presetPayload(preset));
    await page.evaluate(() => { window.__posted = []; });
    await page.click('#save');
    assert.deepStrictEqual(await page.evaluate(() => window.__posted), ['savePreset_wrn&' + preset]);
  } finally {
    await browser.close();
  }
  assert.deepStrictEqual(problems, []);

  // The screenshot is the window's size and not blank.
  const png = fs.readFileSync(screenshotPath);
  assert.strictEqual(png.readUInt32BE(16), 1140);
  assert.strictEqual(png.readUInt32BE(20), 820);
  assert.ok(png.length > 10000, 'the screenshot holds a rendered page');
  console.log('page in the browser: posts, list, preset and screenshot ' + screenshotPath + ' check out');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
