// Test helper: node browser_glb.js CHROMIUM THREE_DIR FILE.glb SHOT.png. Loads FILE.glb with
// three.js's GLTFLoader in headless CHROMIUM, renders it lit and framed on a black page, prints
// "triangles N" (the triangles of every mesh the loader built) and writes the page's screenshot to
// SHOT.png. Exits 0 once both are done, 1 with one line saying why otherwise. Node's standard
// library only: a local HTTP server for the page, three.js and the file, and the DevTools protocol
// over --remote-debugging-pipe (messages on descriptors 3 and 4, each ended by a NUL byte).
'use strict';
const {spawn} = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const [chromium, threeDir, glbPath, shotPath] = process.argv.slice(2);
const kSidePixels = 512;
const kTimeoutMs = 120000;

// The page: a classic script makes the promise the driver waits on (so a failing module import
// rejects it too), the module fulfils it with the triangle count after the first frame.
const page = `<!doctype html>
<html><head><meta charset="utf-8">
<style>html, body { margin: 0; background: #000; overflow: hidden; }</style>
<script type="importmap">
{"imports": {"three": "/three/build/three.module.js", "three/addons/": "/three/examples/jsm/"}}
</script>
<script>
window.quarnelLoad = new Promise((resolve, reject) => {
  window.quarnelResolve = resolve;
  window.addEventListener('error', (event) => reject(new Error(event.message)));
  window.addEventListener('unhandledrejection', (event) => reject(event.reason));
});
</script>
<script type="module">
import * as THREE from 'three';
import {GLTFLoader} from 'three/addons/loaders/GLTFLoader.js';
import {MeshoptDecoder} from 'three/addons/libs/meshopt_decoder.module.js';

const loader = new GLTFLoader();
// A file written with EXT_meshopt_compression needs the decoder; a plain one never calls it.
loader.setMeshoptDecoder(MeshoptDecoder);
const gltf = await loader.loadAsync('/model.glb');
let triangles = 0;
gltf.scene.traverse((object) => {
  if (object.isMesh) {
    const geometry = object.geometry;
    triangles += (geometry.index ? geometry.index.count : geometry.attributes.position.count) / 3;
  }
});

const box = new THREE.Box3().setFromObject(gltf.scene);
const centre = box.getCenter(new THREE.Vector3());
const radius = box.getSize(new THREE.Vector3()).length() / 2;
const camera = new THREE.PerspectiveCamera(35, 1, radius / 100, radius * 100);
camera.position.copy(centre).add(new THREE.Vector3(0.6, 0.5, 1).normalize().multiplyScalar(3.5 * radius));
camera.lookAt(centre);
const scene = new THREE.Scene();
scene.add(gltf.scene);
scene.add(new THREE.HemisphereLight(0xffffff, 0x404040, 1.5));
const sun = new THREE.DirectionalLight(0xffffff, 2);
sun.position.copy(camera.position);
scene.add(sun);

const renderer = new THREE.WebGLRenderer({preserveDrawingBuffer: true});
renderer.setPixelRatio(1);
renderer.setSize(${kSidePixels}, ${kSidePixels});
document.body.appendChild(renderer.domElement);
renderer.render(scene, camera);
requestAnimationFrame(() => requestAnimationFrame(() => window.quarnelResolve({triangles})));
</script>
</head><body></body></html>
`;

let browser = null;
let profile = null;

let finishing = false;

// Prints `line` once, then ends the browser and every process it started (its own process
// group), and exits with `status` once its profile is removed.
function finish(status, line) {
    if (finishing) {
        return;
    }
    finishing = true;
    process.stdout.write(line + '\n');
    const exit = () => {
        if (profile) {
            try {
                fs.rmSync(profile, {recursive: true, force: true, maxRetries: 10});
            } catch (error) {
                process.stdout.write(`could not remove ${profile}: ${error.message}\n`);
            }
        }
        process.exit(status);
    };
    if (browser && browser.exitCode === null && browser.signalCode === null) {
        browser.removeAllListeners('exit');
        browser.on('exit', exit);
        process.kill(-browser.pid, 'SIGKILL');
    } else {
        exit();
    }
}

const types = {'.js': 'text/javascript', '.wasm': 'application/wasm', '.glb': 'model/gltf-binary'};
const threeRoot = path.resolve(threeDir) + path.sep;
const server = http.createServer((request, response) => {
    const url = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    if (url === '/') {
        response.writeHead(200, {'Content-Type': 'text/html'});
        response.end(page);
        return;
    }
    const file = url === '/model.glb' ? glbPath : path.resolve(threeRoot, '.' + url.slice(6));
    if (file !== glbPath && !file.startsWith(threeRoot)) {
        response.writeHead(404);
        response.end();
        return;
    }
    fs.readFile(file, (error, bytes) => {
        response.writeHead(error ? 404 : 200,
                           {'Content-Type': types[path.extname(file)] || 'application/octet-stream'});
        response.end(error ? undefined : bytes);
    });
});

server.listen(0, '127.0.0.1', () => {
    profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quarnel-chromium-'));
    browser = spawn(chromium, [
        '--headless', '--no-sandbox', '--disable-gpu', '--enable-unsafe-swiftshader',
        '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`,
        '--remote-debugging-pipe', `--window-size=${kSidePixels},${kSidePixels}`, 'about:blank',
    ], {detached: true, stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']});
    // A browser that ended (or was ended) resets its pipes: what follows says why.
    browser.stdio[3].on('error', () => {});
    browser.stdio[4].on('error', () => {});
    let browserLog = '';
    browser.stderr.on('data', (chunk) => { browserLog = (browserLog + chunk).slice(-2000); });
    browser.on('error', (error) => finish(1, `could not start ${chromium}: ${error.message}`));
    browser.on('exit', (code, signal) => finish(1, `${chromium} ended early (${signal || code}): ` +
                                                    browserLog.trim().split('\n').pop()));

    let nextId = 1;
    const replies = new Map();
    const waiters = new Map();
    const consoleLines = [];
    let input = '';
    browser.stdio[4].setEncoding('utf8');
    browser.stdio[4].on('data', (chunk) => {
        input += chunk;
        for (let end; (end = input.indexOf('\0')) >= 0; input = input.slice(end + 1)) {
            const message = JSON.parse(input.slice(0, end));
            if (message.id !== undefined && replies.has(message.id)) {
                const {resolve, reject, method} = replies.get(message.id);
                replies.delete(message.id);
                if (message.error) {
                    reject(new Error(`${method}: ${message.error.message}`));
                } else {
                    resolve(message.result);
                }
            } else if (message.method === 'Runtime.consoleAPICalled') {
                consoleLines.push(message.params.args.map((a) => a.value ?? a.description).join(' '));
            } else if (waiters.has(message.method)) {
                waiters.get(message.method)();
                waiters.delete(message.method);
            }
        }
    });
    const send = (method, params, sessionId) => new Promise((resolve, reject) => {
        const id = nextId++;
        replies.set(id, {resolve, reject, method});
        browser.stdio[3].write(JSON.stringify({id, method, params: params || {}, sessionId}) + '\0');
    });
    const next = (method) => new Promise((resolve) => waiters.set(method, resolve));

    setTimeout(() => finish(1, `the page did not finish in ${kTimeoutMs / 1000} s; console: ` +
                               consoleLines.join(' | ')), kTimeoutMs);
    (async () => {
        const {targetId} = await send('Target.createTarget', {url: 'about:blank'});
        const {sessionId} = await send('Target.attachToTarget', {targetId, flatten: true});
        await send('Page.enable', {}, sessionId);
        await send('Runtime.enable', {}, sessionId);
        await send('Emulation.setDeviceMetricsOverride', {
            width: kSidePixels, height: kSidePixels, deviceScaleFactor: 1, mobile: false,
        }, sessionId);
        const loaded = next('Page.loadEventFired');
        await send('Page.navigate', {url: `http://127.0.0.1:${server.address().port}/`}, sessionId);
        await loaded;
        const evaluated = await send('Runtime.evaluate', {
            expression: 'window.quarnelLoad', awaitPromise: true, returnByValue: true,
        }, sessionId);
        if (evaluated.exceptionDetails) {
            const details = evaluated.exceptionDetails;
            finish(1, 'the page failed: ' +
                      (details.exception ? details.exception.description : details.text)
                          .split('\n')[0] +
                      (consoleLines.length ? '; console: ' + consoleLines.join(' | ') : ''));
            return;
        }
        const shot = await send('Page.captureScreenshot', {format: 'png'}, sessionId);
        fs.writeFileSync(shotPath, Buffer.from(shot.data, 'base64'));
        finish(0, `triangles ${evaluated.result.value.triangles}`);
    })().catch((error) => finish(1, `the browser failed: ${error.message}`));
});
