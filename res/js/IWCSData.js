// Client-side data of the page: preloaded images, so that images swapped by page
// scripts show at once.
"use strict";

var IWCSData = {
  Images: [],
  Preload: function (url) {
    var image = new Image();
    image.src = url;
    this.Images.push(image);
    return image;
  }
};
