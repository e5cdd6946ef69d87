// The configurator page as a player sees it with no stick present (as
// quillexctl.exe under Wine serves it), in headless Chromium:
//   node page-without-stick.mjs URL SCREENSHOT.png
// URL is the address `quillexctl ui` printed, with its token. The page loads
// through it, says that no stick is found, asks nothing of any other origin,
// throws no error, and its screenshot is not blank.
import assert from 'node:assert/strict';
import { colourCount, launchBrowser, until } from './harness.mjs';

const [url, screenshotPath] = process.argv.slice(2);
if (!url || !screenshotPath) {
  console.error('usage: node page-without-stick.mjs URL SCREENSHOT.png');
  process.exit(2);
}
process.env.QUILLEX_CHROMIUM ||= '/usr/bin/chromium';
const origin = new URL(url).origin;
const browser = await launchBrowser();
try {
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 720 } })).newPage();
  const requests = [];
  const errors = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url);
  assert.equal(page.url(), `${origin}/`, 'the token left the address');
  await until('the page to say that no stick is found',
    async () => ((await page.locator('#problem').textContent()) || '').includes('No Quillex stick found'), 20000);
  assert.ok(await page.locator('#problem').isVisible(), 'the problem is shown');
  const png = await page.screenshot({ path: screenshotPath });
  const colours = await colourCount(page, png);
  assert.ok(colours > 40, `${screenshotPath} looks blank (${colours} colours)`);
  assert.deepEqual(requests.filter((r) => new URL(r).origin !== origin), [], 'requests elsewhere');
  assert.deepEqual(errors, [], 'errors in the page');
  console.log(`the page says that no stick is found; ${requests.length} requests, all to ${origin}`);
} finally {
  await browser.close();
}
