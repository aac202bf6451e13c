// The three browser engines behind one interface for the page's test and benchmark:
// `missing()` says why an engine cannot run here, or null; `launch(downloads)` gives
// open(url), hand(paths), run(expression) (its value, a promise awaited), close(), and
// where the driver can, save(selector) (the download's path), resize(w, h) and dark().
import { spawn } from 'node:child_process';
import fs from 'node:fs';

const onPath = (program) => (process.env.PATH ?? '').split(':').some((folder) =>
  fs.existsSync(`${folder}/${program}`));

const chromium = {
  name: 'chromium',
  missing: () => fs.existsSync('/usr/bin/chromium') ? null : 'apt-get install chromium',
  async launch(downloads) {
    const { chromium: playwright } = await import('playwright-core');
    const browser = await playwright.launch({
      executablePath: '/usr/bin/chromium', downloadsPath: downloads,
      args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', '--no-first-run'],
    });
    const tab = await browser.newPage({ acceptDownloads: true });
    return {
      open: (url) => tab.goto(url),
      hand: (paths) => tab.setInputFiles('#files', paths),
      run: (expression) => tab.evaluate(expression),
      async save(selector) {
        const [download] = await Promise.all([tab.waitForEvent('download'), tab.click(selector)]);
        return download.path();
      },
      resize: (width, height) => tab.setViewportSize({ width, height }),
      dark: () => tab.emulateMedia({ colorScheme: 'dark' }),
      close: () => browser.close(),
    };
  },
};

// Firefox over WebDriver BiDi.
const firefox = {
  name: 'firefox',
  missing: () => fs.existsSync('/usr/bin/firefox-esr') ? null : 'apt-get install firefox-esr',
  async launch(downloads) {
    const { default: puppeteer } = await import('puppeteer-core');
    const browser = await puppeteer.launch({
      browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true,
      extraPrefsFirefox: { 'browser.download.folderList': 2, 'browser.download.dir': downloads,
                           'browser.download.useDownloadDir': true,
                           'browser.download.always_ask_before_handling_new_types': false },
    });
    const tab = await browser.newPage();
    return {
      open: (url) => tab.goto(url),
      hand: async (paths) => (await tab.$('#files')).uploadFile(...paths),
      run: (expression) => tab.evaluate(expression),
      resize: (width, height) => tab.setViewport({ width, height }),
      close: () => browser.close(),
    };
  },
};

// WebKitGTK's MiniBrowser through WebKitWebDriver, on a virtual screen of xvfb-run.
const miniBrowser = () => fs.readdirSync('/usr/lib').map((folder) =>
  `/usr/lib/${folder}/webkit2gtk-4.1/MiniBrowser`).find((file) => fs.existsSync(file));
const webkit = {
  name: 'webkit',
  missing: () => !onPath('WebKitWebDriver') || !miniBrowser() ? 'apt-get install webkit2gtk-driver'
    : !onPath('xvfb-run') || !onPath('xauth') ? 'apt-get install xvfb xauth' : null,
  async launch(downloads) {
    const { Builder, By } = await import('selenium-webdriver');
    const { findFreePort } = await import('selenium-webdriver/net/portprober.js');
    const { waitForServer } = await import('selenium-webdriver/http/util.js');
    const port = await findFreePort();
    // A process group of its own, so that the driver, the screen and the browser end
    // together; a home of its own, where MiniBrowser puts its downloads.
    const driver = spawn('xvfb-run', ['-a', '-s', '-screen 0 1280x1024x24', 'WebKitWebDriver',
                                      `--port=${port}`],
                         { detached: true, stdio: 'ignore', env: { ...process.env,
                                                                   HOME: downloads } });
    const end = () => { try { process.kill(-driver.pid, 'SIGTERM'); } catch {} };
    const server = `http://127.0.0.1:${port}`;
    try {
      await waitForServer(server, 30000);
      const session = await new Builder().usingServer(server).withCapabilities({
        browserName: 'MiniBrowser',
        'webkitgtk:browserOptions': { binary: miniBrowser(), args: ['--automation'] },
      }).build();
      await session.manage().setTimeouts({ script: 300000 });
      await session.manage().window().setRect({ width: 1024, height: 768 });
      return {
        open: (url) => session.get(url),
        hand: async (paths) =>
          (await session.findElement(By.id('files'))).sendKeys(paths.join('\n')),
        async run(expression) {
          const result = await session.executeAsyncScript(
            `const done = arguments[arguments.length - 1]; Promise.resolve(${expression})` +
            '.then((value) => done({ value }), (error) => done({ error: String(error) }));');
          if ('error' in result)
            throw new Error(result.error);
          return result.value;
        },
        close: async () => { await session.quit().catch(() => {}); end(); },
      };
    } catch (error) {
      end();
      throw error;
    }
  },
};

export const engines = [chromium, firefox, webkit];
