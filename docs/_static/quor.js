// A gallery figure opens at full size when clicked: a wide figure is scaled
// down to the page's width.
document.addEventListener("DOMContentLoaded", function () {
  document.querySelectorAll("img.sphx-glr-single-img, img.sphx-glr-multi-img").forEach(function (img) {
    if (img.closest("a")) return;
    var link = document.createElement("a");
    link.href = img.getAttribute("src");
    link.className = "quor-full-size";
    link.title = "Open the figure at full size";
    img.parentNode.insertBefore(link, img);
    link.appendChild(img);
  });
});
