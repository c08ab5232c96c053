// The viewer of one image: OpenSeadragon on the image's Deep Zoom descriptor, the navigator shaped
// like the image, the largest zoom a few screen pixels per image pixel (drawn as crisp blocks
// beyond 1:1, so that a tiny image shows its pixels rather than a blur), and the view kept in the
// address as #x,y,zoom (the centre in image pixels, screen pixels per image pixel) to be shared.
"use strict";

const MAX_PIXEL_RATIO = 8;  // screen pixels per image pixel at the largest zoom
const NAVIGATOR_SIDE = 160; // the navigator's longer side, in CSS pixels

const element = document.getElementById("viewer");
const width = Number(element.dataset.width), height = Number(element.dataset.height);
const longer = Math.max(width, height);
const navigatorSize = side => Math.max(24, Math.round(NAVIGATOR_SIDE * side / longer)) + "px";

// The canvas drawer keeps the pixels readable by scripts (the browser test reads them back).
window.viewer = OpenSeadragon({
  element: element,
  prefixUrl: element.dataset.images,
  tileSources: element.dataset.dzi,
  drawer: "canvas",
  showNavigator: true,
  navigatorWidth: navigatorSize(width),
  navigatorHeight: navigatorSize(height),
  showFullPageControl: true,
  autoHideControls: false,
  maxZoomPixelRatio: MAX_PIXEL_RATIO,
  immediateRender: true,  // the level that fits the screen first, not every coarser one on the way
  crossOriginPolicy: "Anonymous"
});

// The view in the address: "#x,y,zoom".
function viewFromAddress() {
  const parts = location.hash.slice(1).split(",").map(Number);
  return parts.length === 3 && parts.every(Number.isFinite) && parts[2] > 0 ? parts : null;
}

function showView([x, y, zoom]) {
  const vp = window.viewer.viewport;
  vp.zoomTo(vp.imageToViewportZoom(zoom), null, true);
  vp.panTo(vp.imageToViewportCoordinates(new OpenSeadragon.Point(x, y)), true);
}

function keepViewInAddress() {
  const vp = window.viewer.viewport;
  const centre = vp.viewportToImageCoordinates(vp.getCenter(true));
  const zoom = vp.viewportToImageZoom(vp.getZoom(true));
  const view = "#" + [centre.x.toFixed(1), centre.y.toFixed(1), zoom.toPrecision(4)].join(",");
  if (view !== location.hash) history.replaceState(null, "", view);
}

// A small image fits the screen only up to the largest zoom: its home is that zoom, not a blur
// stretched over the screen.
function limitZoom() {
  const vp = window.viewer.viewport;
  const largest = vp.imageToViewportZoom(MAX_PIXEL_RATIO);
  vp.maxZoomLevel = largest;
  vp.defaultZoomLevel = vp.getHomeZoom() > largest ? largest : 0;
}

// Pixels drawn crisp beyond 1:1, smooth below it.
function smoothBelowOneToOne() {
  const vp = window.viewer.viewport;
  window.viewer.drawer.setImageSmoothingEnabled(vp.viewportToImageZoom(vp.getZoom(true)) < 1);
}

window.viewer.addHandler("open", () => {
  limitZoom();
  const view = viewFromAddress();
  if (view) showView(view); else window.viewer.viewport.goHome(true);
  smoothBelowOneToOne();
});
window.viewer.addHandler("zoom", smoothBelowOneToOne);
window.viewer.addHandler("animation-finish", keepViewInAddress);
window.addEventListener("hashchange", () => {
  const view = viewFromAddress();
  if (view) showView(view);
});
