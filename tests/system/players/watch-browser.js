// Watches a live address in headless Chromium for watch.sh: mpegts.js for the
// continuous stream (/stream), hls.js for HLS (/hls), on a muted <video>. Prints
// "first-frame" at the first presented video frame, "decoded S" every second (the
// seconds played since then), "stall MS" for every wait of more than 1 s, "jump S"
// when the position moved ahead by more than 2 s within one second, and the players'
// errors.
//   node watch-browser.js URL SECONDS
// CHROMIUM names the browser (/usr/bin/chromium), NODE_MODULES the npm packages.
'use strict';
const path = require('path');
const [url, seconds] = [process.argv[2], Number(process.argv[3] || 60)];
const modules = process.env.NODE_MODULES || path.join(__dirname, 'node_modules');
const puppeteer = require(path.join(modules, 'puppeteer-core'));
const useHls = /\/hls/.test(url);

(async () => {
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
  try {
    const page = await browser.newPage();
    await page.exposeFunction('report', (line) => console.log(line));
    await page.setContent('<video id="v" muted autoplay playsinline></video>');
    await page.addScriptTag({
      path: useHls ? path.join(modules, 'hls.js/dist/hls.min.js')
                   : path.join(modules, 'mpegts.js/dist/mpegts.js'),
    });
    await page.evaluate((url, useHls) => {
      const v = document.getElementById('v');
      let start = null, waitingSince = null;
      const onFrame = () => {
        if (start === null) {
          start = v.currentTime;
          window.report('first-frame');
        }
        v.requestVideoFrameCallback(onFrame);
      };
      v.requestVideoFrameCallback(onFrame);
      v.addEventListener('waiting', () => { if (start !== null) waitingSince = performance.now(); });
      v.addEventListener('playing', () => {
        if (waitingSince !== null && performance.now() - waitingSince > 1000)
          window.report('stall ' + Math.round(performance.now() - waitingSince));
        waitingSince = null;
      });
      // Seconds played: what the position advanced each second, at most that second
      // (hls.js moves the position forward when a new playlist's segment begins).
      let played = 0, last = null;
      setInterval(() => {
        if (start === null) return;
        if (last !== null) played += Math.min(1, Math.max(0, v.currentTime - last));
        if (last !== null && v.currentTime - last > 2) window.report('jump ' + (v.currentTime - last).toFixed(1) + ' from ' + last.toFixed(1));
        last = v.currentTime;
        window.report('decoded ' + played.toFixed(1));
      }, 1000);
      if (useHls) {
        const hls = new Hls();
        // The error's own message and the segment it met, to tell a decoder's
        // complaint from a network one.
        hls.on(Hls.Events.ERROR, (_, d) => window.report('player-error ' + d.type + ' ' + d.details +
          (d.frag ? ' segment ' + d.frag.sn : '') + (d.error ? ' ' + d.error.message : '')));
        hls.loadSource(url);
        hls.attachMedia(v);
      } else {
        const p = mpegts.createPlayer({ type: 'mpegts', isLive: true, url: url });
        p.on(mpegts.Events.ERROR, (t, d) => window.report('player-error ' + t + ' ' + d));
        p.attachMediaElement(v);
        p.load();
      }
      v.play().catch((e) => window.report('player-error play ' + e));
    }, url, useHls);
    await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  } finally {
    await browser.close();
  }
})().catch((e) => {
  console.log('player-error ' + e);
  process.exit(1);
});
