// The point cloud of the current depth frame in WebGL, coloured by the
// server (each depth pixel's colour from the image pixel that shows it),
// with orbit (drag) and zoom (wheel). Every second pixel of every second
// row becomes a point, placed by the depth grid's camera.
'use strict';

class PointCloud {
  constructor(canvas) {
    this.canvas = canvas;
    this.gl = canvas.getContext('webgl', {antialias: false});
    this.count = 0;
    this.yaw = 0.4;
    this.pitch = 0.25;
    this.distance = 3000;
    this.centre = [0, 0, -2000];
    if (!this.gl) return;
    const gl = this.gl;
    const shader = (type, source) => {
      const s = gl.createShader(type);
      gl.shaderSource(s, source);
      gl.compileShader(s);
      return s;
    };
    this.program = gl.createProgram();
    gl.attachShader(this.program, shader(gl.VERTEX_SHADER, `
      attribute vec3 position;
      attribute vec3 colour;
      uniform mat4 transform;
      varying vec3 vColour;
      void main() {
        gl_Position = transform * vec4(position, 1.0);
        gl_PointSize = 2.0;
        vColour = colour;
      }`));
    gl.attachShader(this.program, shader(gl.FRAGMENT_SHADER, `
      precision mediump float;
      varying vec3 vColour;
      void main() { gl_FragColor = vec4(vColour, 1.0); }`));
    gl.linkProgram(this.program);
    this.positionBuffer = gl.createBuffer();
    this.colourBuffer = gl.createBuffer();
    this.bindMouse();
  }

  bindMouse() {
    let dragging = null;
    this.canvas.addEventListener('mousedown', (e) => { dragging = [e.clientX, e.clientY]; });
    window.addEventListener('mouseup', () => { dragging = null; });
    window.addEventListener('mousemove', (e) => {
      if (!dragging) return;
      this.yaw += (e.clientX - dragging[0]) * 0.01;
      this.pitch = Math.max(-1.5, Math.min(1.5, this.pitch + (e.clientY - dragging[1]) * 0.01));
      dragging = [e.clientX, e.clientY];
      this.moved = true;
    });
    this.canvas.addEventListener('wheel', (e) => {
      e.preventDefault();
      this.distance = Math.max(200, Math.min(20000, this.distance * Math.exp(e.deltaY * 0.001)));
      this.moved = true;
    }, {passive: false});
  }

  // h: the depth frame's header (width, height, noSample, shadow, scale,
  // fx, fy, cx, cy); colours: RGB of each point (every second pixel of every
  // second row, the server's colours message), or null (grey).
  update(h, depth, colours) {
    const gl = this.gl;
    if (!gl) return;
    const step = 2, w = h.width, height = h.height;
    const most = Math.ceil(w / step) * Math.ceil(height / step);
    if (!this.positions || this.positions.length !== most * 3) {
      this.positions = new Float32Array(most * 3);
      this.colours = new Uint8Array(most * 3);
    }
    // The grid's camera; a recording without one: the translator's scale
    // about the frame's centre.
    const known = h.fx > 0 && h.fy > 0;
    const sx = known ? 1 / h.fx : h.scale > 0 ? h.scale : 1 / 575, sy = known ? 1 / h.fy : sx;
    const cx = known ? h.cx : w / 2, cy = known ? h.cy : height / 2;
    const cw = Math.ceil(w / step);
    let n = 0, sum = 0;
    for (let v = 0; v < height; v += step) {
      for (let u = 0; u < w; u += step) {
        const z = depth[v * w + u];
        if (z === h.noSample || z === h.shadow) continue;
        this.positions[n * 3] = (u - cx) * z * sx;
        this.positions[n * 3 + 1] = (cy - v) * z * sy;
        this.positions[n * 3 + 2] = -z;
        const at = ((v / step) * cw + u / step) * 3;
        for (let k = 0; k < 3; k++) this.colours[n * 3 + k] = colours ? colours[at + k] : 160;
        sum += z;
        n++;
      }
    }
    if (n > 0 && !this.centred) {
      this.centre = [0, 0, -sum / n];
      this.distance = (sum / n) * 1.2;
      this.centred = true;
    }
    this.count = n;
    gl.bindBuffer(gl.ARRAY_BUFFER, this.positionBuffer);
    gl.bufferData(gl.ARRAY_BUFFER, this.positions.subarray(0, n * 3), gl.DYNAMIC_DRAW);
    gl.bindBuffer(gl.ARRAY_BUFFER, this.colourBuffer);
    gl.bufferData(gl.ARRAY_BUFFER, this.colours.subarray(0, n * 3), gl.DYNAMIC_DRAW);
  }

  // Column-major 4x4 matrices.
  static multiply(a, b) {
    const out = new Float32Array(16);
    for (let c = 0; c < 4; c++) {
      for (let r = 0; r < 4; r++) {
        let s = 0;
        for (let k = 0; k < 4; k++) s += a[k * 4 + r] * b[c * 4 + k];
        out[c * 4 + r] = s;
      }
    }
    return out;
  }

  transform() {
    const aspect = this.canvas.width / this.canvas.height, f = 1 / Math.tan(0.5), near = 10, far = 50000;
    const projection = [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / (near - far), -1, 0, 0,
      (2 * far * near) / (near - far), 0];
    const cy = Math.cos(this.yaw), sy = Math.sin(this.yaw), cp = Math.cos(this.pitch), sp = Math.sin(this.pitch);
    const rotateY = [cy, 0, -sy, 0, 0, 1, 0, 0, sy, 0, cy, 0, 0, 0, 0, 1];
    const rotateX = [1, 0, 0, 0, 0, cp, sp, 0, 0, -sp, cp, 0, 0, 0, 0, 1];
    const [x, y, z] = this.centre;
    const toCentre = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -x, -y, -z, 1];
    const back = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -this.distance, 1];
    return PointCloud.multiply(projection,
        PointCloud.multiply(back, PointCloud.multiply(rotateX, PointCloud.multiply(rotateY, toCentre))));
  }

  render() {
    const gl = this.gl;
    if (!gl) return;
    gl.viewport(0, 0, this.canvas.width, this.canvas.height);
    gl.clearColor(0.05, 0.05, 0.07, 1);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    if (this.count === 0) return;
    gl.enable(gl.DEPTH_TEST);
    gl.useProgram(this.program);
    const position = gl.getAttribLocation(this.program, 'position');
    const colour = gl.getAttribLocation(this.program, 'colour');
    gl.bindBuffer(gl.ARRAY_BUFFER, this.positionBuffer);
    gl.enableVertexAttribArray(position);
    gl.vertexAttribPointer(position, 3, gl.FLOAT, false, 0, 0);
    gl.bindBuffer(gl.ARRAY_BUFFER, this.colourBuffer);
    gl.enableVertexAttribArray(colour);
    gl.vertexAttribPointer(colour, 3, gl.UNSIGNED_BYTE, true, 0, 0);
    gl.uniformMatrix4fv(gl.getUniformLocation(this.program, 'transform'), false, this.transform());
    gl.drawArrays(gl.POINTS, 0, this.count);
  }
}
window.PointCloud = PointCloud;
