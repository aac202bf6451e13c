// The three browser engines behind one small interface, for the page's test and its
// benchmark. Each engine gives `missing()`, why it cannot run here or null, and
// `launch(downloads)`, which starts the browser and gives:
//   open(url)            opens the page;
//   hand(paths)          chooses the files with the page's file button;
//   run(expression)      the value of a JavaScript expression in the page, a promise awaited;
//   save(selector)       Chromium only: clicks a link and gives the path of its download;
//   resize(width, height), dark() where the driver can, and close().
// Firefox and WebKit save their downloads into `downloads` without asking.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';

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
    const port = await new Promise((resolve) => {
      const probe = net.createServer().listen(0, '127.0.0.1', () => {
        const { port: free } = probe.address();
        probe.close(() => resolve(free));
      });
    });
    // A process group of its own, so that the driver, the screen and the browser end
    // together; a home of its own, where MiniBrowser puts its downloads.
    const driver = spawn('xvfb-run', ['-a', '-s', '-screen 0 1280x1024x24', 'WebKitWebDriver',
                                      `--port=${port}`],
                         { detached: true, stdio: 'ignore', env: { ...process.env,
                                                                   HOME: downloads } });
    const end = () => { try { process.kill(-driver.pid, 'SIGTERM'); } catch {} };
    const { Builder, By } = await import('selenium-webdriver');
    const server = `http://127.0.0.1:${port}`;
    const listening = () => new Promise((resolve) => net.connect(port, '127.0.0.1')
      .on('connect', function () { this.end(); resolve(true); }).on('error', () => resolve(false)));
    for (let tries = 0; tries < 600 && !(await listening()); tries++)
      await new Promise((resolve) => setTimeout(resolve, 50));
    try {
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
